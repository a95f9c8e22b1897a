// Public-key PEM: any text is an RSA key or a crypto error, and a key read encodes back to itself.
#include <libvux/vuxcrypto.h>
#include <libvux/vuxerr.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        vux_crypto::RsaPublicKey key = vux_crypto::pem_public::Decode(in);
        const std::string pem = vux_crypto::pem_public::Encode(key);
        if (vux_crypto::pem_public::Encode(vux_crypto::pem_public::Decode(pem)) != pem) abort();
        if (key.sigsize() * 8 < key.size()) abort();
        vux_crypto::ssh_public::Encode(key);
    } catch (const vux_err::Error& e) {
        if (e.type() != "crypto") abort();
    }
    return 0;
}
