// badchars: escaping a set that holds the escape byte is undone by unescaping.
// Input layout: escape byte, count of extra bytes to escape, those bytes, the text.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const char esc = static_cast<char>(data[0]);
    size_t extra = data[1] % 8;
    if (extra > size - 2) extra = size - 2;
    std::string chars(1, esc);
    for (size_t i = 0; i < extra; ++i)
        if (data[2 + i]) chars += static_cast<char>(data[2 + i]);  // a C string holds no NUL
    const std::string text(reinterpret_cast<const char*>(data) + 2 + extra, size - 2 - extra);

    const std::string raw = str::badchars::Unescape(text, esc);
    if (raw.size() > text.size()) abort();
    if (esc == '\0') return 0;  // NUL cannot be in the set, so it is not escaped
    const std::string escaped = str::badchars::Escape(text, chars.c_str(), esc);
    if (str::badchars::Unescape(escaped, esc) != text) abort();
    return 0;
}
