// Exact money amounts: a signed 64-bit count of ten-thousandths.
#ifndef LIBVUX_VUXMONEY_H
#define LIBVUX_VUXMONEY_H

#include <libvux/vuxapi.h>

#include <cstdint>
#include <iosfwd>
#include <string>

VUX_API_BEGIN

namespace vux_money {

// Results beyond the 64-bit range saturate at its ends instead of wrapping.
class Money {
public:
    Money() : value_(0) {}
    Money(int v);
    Money(long long v);
    Money(double d);
    // "[-]digits[.digits]"; never throws, reads as far as the text is digits.
    Money(std::string s);

    int AsInt() const;
    long long AsLong() const { return value_ / kScale; }
    double AsDouble() const { return value_ / 10000.0; }
    std::string AsString() const;

    // To hundredths: halves away from zero, any remainder away from zero, and toward zero.
    [[nodiscard]] Money Round() const;
    [[nodiscard]] Money HigherRound() const;
    [[nodiscard]] Money LowerRound() const;

    Money& operator+=(const Money& o);
    Money& operator-=(const Money& o);
    Money& operator*=(const Money& o);
    Money& operator*=(int n);
    Money& operator*=(long long n);
    Money& operator*=(double d);
    // A zero divisor is a programming error (AssertError), not a crash.
    Money& operator/=(const Money& o);
    Money& operator/=(int n);
    Money& operator/=(long long n);
    Money& operator/=(double d);

    Money operator+(const Money& o) const { return Money(*this) += o; }
    Money operator-(const Money& o) const { return Money(*this) -= o; }
    Money operator*(const Money& o) const { return Money(*this) *= o; }
    Money operator*(int n) const { return Money(*this) *= n; }
    Money operator*(long long n) const { return Money(*this) *= n; }
    Money operator*(double d) const { return Money(*this) *= d; }
    Money operator/(const Money& o) const { return Money(*this) /= o; }
    Money operator/(int n) const { return Money(*this) /= n; }
    Money operator/(long long n) const { return Money(*this) /= n; }
    Money operator/(double d) const { return Money(*this) /= d; }

    bool operator==(const Money& o) const { return value_ == o.value_; }
    bool operator!=(const Money& o) const { return value_ != o.value_; }
    bool operator<(const Money& o) const { return value_ < o.value_; }
    bool operator>(const Money& o) const { return value_ > o.value_; }
    bool operator<=(const Money& o) const { return value_ <= o.value_; }
    bool operator>=(const Money& o) const { return value_ >= o.value_; }
    bool operator==(int n) const { return value_ == n * static_cast<std::int64_t>(kScale); }
    bool operator!=(int n) const { return value_ != n * static_cast<std::int64_t>(kScale); }
    bool operator<(int n) const { return value_ < n * static_cast<std::int64_t>(kScale); }
    bool operator>(int n) const { return value_ > n * static_cast<std::int64_t>(kScale); }
    bool operator<=(int n) const { return value_ <= n * static_cast<std::int64_t>(kScale); }
    bool operator>=(int n) const { return value_ >= n * static_cast<std::int64_t>(kScale); }
    bool operator<(double d) const { return static_cast<double>(value_) < d * 10000.0; }
    bool operator>(double d) const { return static_cast<double>(value_) > d * 10000.0; }

private:
    static const std::int64_t kScale = 10000;
    std::int64_t value_;
};

std::ostream& operator<<(std::ostream& out, const Money& m);

}  // namespace vux_money

VUX_API_END

#endif
