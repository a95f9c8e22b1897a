// IDNA: any host either converts or fails with the documented "str" failure.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <cstdlib>

namespace {
void Allowed(const vux_err::Error& e, const char* object, const std::string& in) {
    if (e.type() != "str" || e.object() != object || e.value() != in) throw;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        const std::string ace = str::puny::Encode(in);
        for (char c : ace)
            if (static_cast<unsigned char>(c) >= 0x80) abort();
        try {
            str::puny::Decode(ace);
        } catch (const vux_err::Error& e) {
            Allowed(e, "punydecode", ace);
        }
    } catch (const vux_err::Error& e) {
        Allowed(e, "punyencode", in);
    }
    try {
        str::puny::Decode(in);
    } catch (const vux_err::Error& e) {
        Allowed(e, "punydecode", in);
    }
    return 0;
}
