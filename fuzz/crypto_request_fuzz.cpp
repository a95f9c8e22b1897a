// Request PEM and its readers: crypto errors only, never a crash.
#include <libvux/vuxcrypto.h>
#include <libvux/vuxerr.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        vux_crypto::Request request = vux_crypto::x509::DecodeRequest(in);
        request.GetSubject();
        request.GetExtensions();
        const std::string pem = vux_crypto::x509::Encode(request);
        if (vux_crypto::x509::Encode(vux_crypto::x509::DecodeRequest(pem)) != pem) abort();
    } catch (const vux_err::Error& e) {
        if (e.type() != "crypto") abort();
    }
    return 0;
}
