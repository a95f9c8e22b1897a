// Int from text: the value is the leading "-" and digits, and its text form reads back the same.
#include <libvux/vuxbignum.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const vux_bignum::Int n(in);
    const std::string text = n.Str();
    // The digits that lead the input, without their leading zeros.
    std::size_t start = !in.empty() && in[0] == '-' ? 1 : 0, end = start;
    while (end < in.size() && in[end] >= '0' && in[end] <= '9') ++end;
    std::string digits = in.substr(start, end - start);
    digits.erase(0, digits.find_first_not_of('0') == std::string::npos ? digits.size() : digits.find_first_not_of('0'));
    const std::string expected = digits.empty() ? "0" : (start ? "-" : "") + digits;
    if (text != expected) abort();
    if (vux_bignum::cmp(vux_bignum::Int(text), n) != 0) abort();
    if ((n - n).Str() != "0" || vux_bignum::cmp(n * n, vux_bignum::Int()) < 0) abort();
    return 0;
}
