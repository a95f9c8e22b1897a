// URL percent-encoding: decoding is total, and encoding is undone exactly.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const std::string decoded = str::url::Decode(in);
    // Each input byte yields at most one byte; "%uXXXX" (6 bytes) at most three.
    if (decoded.size() > size) abort();
    const std::string encoded = str::url::Encode(in);
    for (char c : encoded)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '%')) abort();
    if (str::url::Decode(encoded) != in) abort();
    return 0;
}
