// The load filter: whatever it is fed, in whatever block sizes, it keeps only
// valid UTF-8 without NUL, and feeding in pieces equals feeding at once.
#include <libvux/vuxxml.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ValidUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || c == 0 || i + n > s.size()) return false;
        for (int k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// Runs the filter like the loader does, in blocks of `block` bytes.
std::string Filter(const std::string& in, std::size_t block) {
    std::vector<char> buf(block + 8);
    std::string out;
    unsigned long held = 0;
    int len = 0, rem = 0;
    for (std::size_t pos = 0; pos < in.size();) {
        const std::size_t n = std::min(block, in.size() - pos);
        std::memcpy(buf.data() + held, in.data() + pos, n);
        pos += n;
        unsigned long kept = 0;
        vux_xml::RemoveBadChars(buf.data(), n, kept, len, rem);
        const unsigned long hold = rem > 0 ? static_cast<unsigned long>(len - rem) : 0;
        if (hold > kept) abort();
        out.append(buf.data(), kept - hold);
        std::memmove(buf.data(), buf.data() + kept - hold, hold);
        held = hold;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::size_t block = 1 + data[0] % 16;
    const std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string pieces = Filter(in, block);
    if (!ValidUtf8(pieces)) abort();
    if (pieces != Filter(in, in.size() + 1)) abort();
    return 0;
}
