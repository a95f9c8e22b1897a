// Arbitrary-precision signed integers over OpenSSL's big numbers.
#ifndef LIBVUX_VUXBIGNUM_H
#define LIBVUX_VUXBIGNUM_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <string>

VUX_API_BEGIN

namespace vux_bignum {

// Division truncates towards zero and the remainder takes the dividend's sign, as for int;
// dividing by zero throws std::logic_error("Zero division").
class Int {
public:
    Int() {}
    Int(const Int& other);
    Int(Int&& other) noexcept;
    // Decimal digits with an optional leading "-"; reading stops at the first other
    // character ("123abc" is 123, "abc" is 0).
    Int(const char* text);
    Int(const std::string& text);
    ~Int();
    Int& operator=(const Int& other);
    Int& operator=(Int&& other) noexcept;

    // A little-endian magnitude and a sign.
    Int& Set(const unsigned char* bytes, std::size_t length, bool negative = false);
    // A big-endian magnitude, non-negative.
    Int& SetBe(const unsigned char* bytes, std::size_t length);

    Int& operator+=(const Int& o);
    Int& operator-=(const Int& o);
    Int& operator*=(const Int& o);
    Int& operator/=(const Int& o);
    Int& operator%=(const Int& o);
    Int& operator++();
    Int& operator--();
    Int operator++(int);
    Int operator--(int);

    // Decimal text, "-" for negatives.
    std::string Str() const;

private:
    friend Int operator*(const Int& a, const Int& b);
    friend int cmp(const Int& a, const Int& b);
    friend Int pow(const Int& base, const Int& exponent);
    // The big number, made (as 0) on first use; untyped so that callers need no OpenSSL.
    void* Get() const;
    mutable void* bn_ = nullptr;
};

Int operator+(const Int& a, const Int& b);
Int operator-(const Int& a, const Int& b);
Int operator*(const Int& a, const Int& b);
Int operator/(const Int& a, const Int& b);
Int operator%(const Int& a, const Int& b);

// Negative, zero or positive as a is below, equal to or above b.
int cmp(const Int& a, const Int& b);
// A negative exponent asserts.
Int pow(const Int& base, const Int& exponent);

}  // namespace vux_bignum

VUX_API_END

#endif
