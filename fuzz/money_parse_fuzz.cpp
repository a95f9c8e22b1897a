// Money texts: parsing is total, the printed form reads back exactly, and rounding stays within a hundredth.
#include <libvux/vuxmoney.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const vux_money::Money m(in);
    const std::string text = m.AsString();
    std::size_t i = text[0] == '-' ? 1 : 0;
    std::size_t dot = text.find('.');
    if (dot == std::string::npos || dot == i) abort();
    for (std::size_t k = i; k < text.size(); ++k)
        if (k != dot && (text[k] < '0' || text[k] > '9')) abort();
    std::size_t decimals = text.size() - dot - 1;
    if (decimals != 2 && decimals != 4) abort();
    if (vux_money::Money(text) != m) abort();
    if ((m < 0) != (text[0] == '-')) abort();
    const vux_money::Money r = m.Round(), lo = m.LowerRound(), hi = m.HigherRound();
    if (lo.AsString().size() > text.size() + 2) abort();
    if (!(r == lo || r == hi)) abort();
    if (m >= 0 ? (lo > m || hi < m) : (lo < m || hi > m)) abort();
    if ((m - lo) + lo != m) abort();
    return 0;
}
