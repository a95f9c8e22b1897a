// XXTEA: hostile cipher texts fail only with the cipher's own error; encryption is undone.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string key = "fuzzing-key-0123";
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        const std::string out = str::xxtea::Decode(key, in);
        if (size && (out.size() + 4 > size || out.size() + 8 <= size)) abort();
    } catch (const vux_err::Error& e) {
        if (e.type() != "xxtea" || (e.object() != "data_size" && e.object() != "bad_data")) throw;
    }
    const std::string enc = str::xxtea::Encode(key, in);
    if (enc.size() != (size ? ((size + 3) / 4 + 1) * 4 : 0)) abort();
    if (str::xxtea::Decode(key, enc) != in) abort();
    if (size >= 16 && str::xxtea::Decode(in, str::xxtea::Encode(in, key)) != key) abort();
    return 0;
}
