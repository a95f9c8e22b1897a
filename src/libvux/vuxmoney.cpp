// Fixed-point money arithmetic; intermediate products are 128-bit so they cannot wrap.
#include <libvux/vuxmoney.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>

namespace {

VUX_LOG_MODULE("libvux")

typedef __int128 Wide;

std::int64_t Saturate(Wide v) {
    if (v > INT64_MAX) return INT64_MAX;
    if (v < INT64_MIN) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

// The nudge keeps binary fractions such as 0.29 * 10000 = 2899.9999... from losing a unit.
std::int64_t FromDouble(double v, double nudge) {
    if (std::isnan(v)) return 0;
    v += v < 0 ? -nudge : nudge;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

}  // namespace

namespace vux_money {

Money::Money(int v) : value_(static_cast<std::int64_t>(v) * kScale) {}

Money::Money(long long v) : value_(Saturate(static_cast<Wide>(v) * kScale)) {}

// Nudged in whole units, so that 0.29999999 reads as 0.3.
Money::Money(double d) : value_(FromDouble((d + (d < 0 ? -0.000001 : 0.000001)) * 10000.0, 0.0)) {}

Money::Money(std::string s) : value_(0) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    std::size_t dot = s.find('.', i);
    std::size_t end = dot == std::string::npos ? s.size() : dot;
    if (end - i > 16) VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "money value '%s' too long",
                              s.substr(i, end - i).c_str());
    Wide whole = 0;
    bool clipped = false;
    for (std::size_t k = i; k < end && s[k] >= '0' && s[k] <= '9'; ++k) {
        whole = whole * 10 + (s[k] - '0');
        if (whole > INT64_MAX) {
            whole = INT64_MAX;
            clipped = true;
        }
    }
    // Fraction digits stop at the first non-digit, so "1.2x" is 1.2 and not 1.0002.
    Wide frac = 0;
    std::size_t digits = 0;
    if (dot != std::string::npos)
        for (std::size_t k = dot + 1; k < s.size() && digits < 4 && s[k] >= '0' && s[k] <= '9'; ++k, ++digits)
            frac = frac * 10 + (s[k] - '0');
    for (; digits < 4; ++digits) frac *= 10;
    Wide v = whole * kScale + frac;
    if (v > INT64_MAX) {
        v = INT64_MAX;
        clipped = true;
    }
    if (clipped) VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "money value '%s' out of range, saturated",
                         s.c_str());
    value_ = static_cast<std::int64_t>(negative ? -v : v);
}

int Money::AsInt() const {
    std::int64_t v = value_ / kScale;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int>(v);
}

std::string Money::AsString() const {
    // Unsigned magnitude: the most negative amount has no positive counterpart.
    unsigned long long mag = value_ < 0 ? 0ULL - static_cast<unsigned long long>(value_) : value_;
    unsigned long long whole = mag / kScale, frac = mag % kScale;
    char buf[48];
    if (frac % 100 == 0)
        std::snprintf(buf, sizeof(buf), "%s%llu.%02llu", value_ < 0 ? "-" : "", whole, frac / 100);
    else
        std::snprintf(buf, sizeof(buf), "%s%llu.%04llu", value_ < 0 ? "-" : "", whole, frac);
    return buf;
}

Money Money::Round() const {
    Money r;
    std::int64_t rest = value_ % 100;
    r.value_ = Saturate(static_cast<Wide>(value_) - rest + (rest >= 50 ? 100 : rest <= -50 ? -100 : 0));
    return r;
}

Money Money::HigherRound() const {
    Money r;
    std::int64_t rest = value_ % 100;
    r.value_ = Saturate(static_cast<Wide>(value_) - rest + (rest > 0 ? 100 : rest < 0 ? -100 : 0));
    return r;
}

Money Money::LowerRound() const {
    Money r;
    r.value_ = value_ - value_ % 100;
    return r;
}

Money& Money::operator+=(const Money& o) {
    value_ = Saturate(static_cast<Wide>(value_) + o.value_);
    return *this;
}

Money& Money::operator-=(const Money& o) {
    value_ = Saturate(static_cast<Wide>(value_) - o.value_);
    return *this;
}

Money& Money::operator*=(const Money& o) {
    value_ = Saturate(static_cast<Wide>(value_) * o.value_ / kScale);
    return *this;
}

Money& Money::operator*=(int n) { return *this *= static_cast<long long>(n); }

Money& Money::operator*=(long long n) {
    value_ = Saturate(static_cast<Wide>(value_) * n);
    return *this;
}

Money& Money::operator*=(double d) {
    value_ = FromDouble(static_cast<double>(value_) * d, 0.000001);
    return *this;
}

Money& Money::operator/=(const Money& o) {
    VUX_ASSERT(o.value_ != 0, "division by zero");
    value_ = Saturate(static_cast<Wide>(value_) * kScale / o.value_);
    return *this;
}

Money& Money::operator/=(int n) { return *this /= static_cast<long long>(n); }

Money& Money::operator/=(long long n) {
    VUX_ASSERT(n != 0, "division by zero");
    value_ = Saturate(static_cast<Wide>(value_) / n);
    return *this;
}

Money& Money::operator/=(double d) {
    VUX_ASSERT(d != 0.0, "division by zero");
    value_ = FromDouble(static_cast<double>(value_) / d, 0.000001);
    return *this;
}

std::ostream& operator<<(std::ostream& out, const Money& m) { return out << m.AsString(); }

}  // namespace vux_money
