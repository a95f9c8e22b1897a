// hex: decoding fails only with str::Fail; encoding is undone exactly in either case.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        const std::string out = str::hex::Decode(in);
        if (out.size() * 2 != size) abort();
        if (str::hex::Encode(out) != str::Lower(in)) abort();
    } catch (const str::Fail& e) {
        if (e.object() != "hex" && e.object() != "hex_len") abort();
    }
    const std::string encoded = str::hex::Encode(in);
    if (str::hex::Decode(encoded) != in) abort();
    if (str::hex::Decode(str::Upper(encoded)) != in) abort();
    return 0;
}
