// base64: the lenient decoder is total, and encoding is undone exactly.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const std::string decoded = str::base64::Decode(in);
    if (decoded.size() > size / 4 * 3) abort();
    const std::string encoded = str::base64::Encode(in);
    if (encoded.size() != (size + 2) / 3 * 4) abort();
    if (str::base64::Decode(encoded) != in) abort();
    return 0;
}
