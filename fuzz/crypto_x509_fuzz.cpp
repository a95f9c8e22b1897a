// Certificate PEM and every reader of what it holds: crypto errors only, never a crash.
#include <libvux/vuxcrypto.h>
#include <libvux/vuxerr.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    vux_crypto::Cert cert;
    try {
        cert = vux_crypto::x509::Decode(in);
    } catch (const vux_err::Error& e) {
        if (e.type() != "crypto") abort();
        return 0;
    }
    // Each reader on its own: one that refuses must not keep the next from running.
    auto read = [](auto&& f) {
        try {
            f();
        } catch (const vux_err::Error& e) {
            if (e.type() != "crypto") abort();
        }
    };
    read([&] { cert.Issuer(); });
    read([&] { cert.Subject(); });
    read([&] { cert.GetIssuer(); });
    read([&] { cert.GetSubject(); });
    read([&] { cert.GetExtensions(); });
    read([&] { cert.GetNotBefore().AsDateTime(); });
    read([&] { cert.GetNotAfter().AsDateTime(); });
    read([&] { vux_crypto::x509::Decode(vux_crypto::x509::Encode(cert)); });
    return 0;
}
