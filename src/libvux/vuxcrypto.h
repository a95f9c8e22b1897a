// RSA keys, certificate requests, self-signed certificates, their encodings, RSA encryption
// and signatures, over OpenSSL.
#ifndef LIBVUX_VUXCRYPTO_H
#define LIBVUX_VUXCRYPTO_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <memory>
#include <string>

#include <libvux/vuxdate.h>
#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace vux_crypto {

// Makes OpenSSL ready for use from several threads; once per process, later calls do nothing.
// Call it before keys are shared between threads.
void Init();

// Failures of OpenSSL throw vux_err::Error of type "crypto" whose object names the step and
// whose value is OpenSSL's text. Handles share their record; a default-constructed or
// moved-from handle is a dummy, and using it asserts.

class RsaPublicKey {
public:
    RsaPublicKey() {}
    RsaPublicKey(const RsaPublicKey&) = default;
    RsaPublicKey(RsaPublicKey&&) = default;
    RsaPublicKey& operator=(const RsaPublicKey&) = default;
    RsaPublicKey& operator=(RsaPublicKey&&) = default;
    virtual ~RsaPublicKey();

    // Key length in bits.
    std::size_t size() const;
    // Key length in bytes: the size of a signature or of a cipher block.
    std::size_t sigsize() const;

    struct VUX_INTERNAL Data;
    Data* data() const { return data_.get(); }

protected:
    std::shared_ptr<Data> data_;
};

class RsaPrivateKey : public RsaPublicKey {
public:
    RsaPrivateKey() {}
    // A fresh key with exponent 65537; size_t(-1) makes a handle still without a key.
    // Throws "generate_rsa" (parameter "length") when OpenSSL refuses the size.
    explicit RsaPrivateKey(std::size_t bits);
};

// Text encodings of keys. Decode throws "decode" (parameter "format", message "type") for
// anything but a PEM block of an RSA key of the kind asked for.
struct pem_public {
    // SubjectPublicKeyInfo, "PUBLIC KEY".
    static std::string Encode(const RsaPublicKey& key);
    static RsaPublicKey Decode(const std::string& text);
};

struct pem_private {
    // The traditional unencrypted form, "RSA PRIVATE KEY". Decode also reads PKCS#8 and
    // refuses encrypted keys (there is no password to give).
    static std::string Encode(const RsaPrivateKey& key);
    static RsaPrivateKey Decode(const std::string& text);
};

struct ssh_public {
    // "ssh-rsa " + base64 of the key blob, without a comment.
    static std::string Encode(const RsaPublicKey& key);
};

// PKCS#1 v1.5 encryption: at most sigsize() - 11 bytes in ("toolong", parameter "limit"),
// exactly sigsize() bytes out; Decrypt takes exactly sigsize() bytes ("datasize").
struct crypt {
    static std::string Crypt(const RsaPublicKey& key, const std::string& data);
    static std::string Decrypt(const RsaPrivateKey& key, const std::string& data);
};

// PKCS#1 v1.5 signatures over a SHA-256 digest the caller computed: the bytes are the digest
// (32 of them) and are not hashed again.
struct sign {
    static std::string Calculate(const RsaPrivateKey& key, const std::string& digest);
    // False for a wrong signature, a wrong digest or a signature of the wrong size.
    static bool Verify(const RsaPublicKey& key, const std::string& digest, const std::string& signature);
};

class Cert {
public:
    // A new, empty and unsigned certificate.
    Cert();
    Cert(const Cert&) = default;
    Cert(Cert&&) = default;
    Cert& operator=(const Cert&) = default;
    Cert& operator=(Cert&&) = default;
    virtual ~Cert();

    // True when the certificate's signature verifies with the key.
    virtual bool Verify(const RsaPublicKey& key) const;
    // True when the key is the private half of the certificate's public key.
    virtual bool VerifyPrivateKey(const RsaPrivateKey& key) const;
    // The names in OpenSSL's one-line form: "/C=DE/CN=example.com".
    virtual std::string Issuer() const;
    virtual std::string Subject() const;
    // Short field name -> UTF-8 value; a field given twice keeps its last value.
    virtual StringMap GetIssuer() const;
    virtual StringMap GetSubject() const;
    // Validity bounds in local time; unset (all fields zero) while the certificate has none.
    // A time that is not an ASN.1 time throws "decode".
    virtual vux_date::DateTime GetNotBefore() const;
    virtual vux_date::DateTime GetNotAfter() const;
    // Extension short name (or dotted number) -> OpenSSL's printed value.
    StringMap GetExtensions() const;

    struct VUX_INTERNAL Data;
    Data* data() const { return data_.get(); }

protected:
    friend struct x509;
    struct Empty {};
    explicit Cert(Empty) {}
    std::shared_ptr<Data> data_;
};

class SelfSignCert : public Cert {
public:
    SelfSignCert() : Cert(Empty{}) {}
    // A fresh key of `bits` bits, valid from signing for 365 days.
    explicit SelfSignCert(std::size_t bits);

    // Offsets in days from the moment of signing.
    SelfSignCert& SetNotBefore(int days);
    SelfSignCert& SetNotAfter(int days);
    // One value per name; the certificate lists them in name order. Not after Sign().
    SelfSignCert& AddToSubject(const std::string& field, const std::string& value);
    // The value is OpenSSL's configuration string ("critical,CA:TRUE").
    SelfSignCert& AddToExtensions(const std::string& name, const std::string& value);
    // Version 3 when extensions were added, else 1; 64-bit random serial; SHA-256.
    SelfSignCert& Sign();
    RsaPrivateKey key() const;
};

class Request {
public:
    Request() {}
    // A fresh key of `bits` bits.
    explicit Request(std::size_t bits);

    // Not after the request was encoded (or decoded): that asserts.
    Request& AddToSubject(const std::string& field, const std::string& value);
    Request& AddToExtensions(const std::string& name, const std::string& value);
    // Before encoding, what was added; after, what the request holds (extensions printed).
    StringMap GetSubject() const;
    StringMap GetExtensions() const;
    // The private key; a dummy for a decoded request.
    RsaPrivateKey key() const;

    struct VUX_INTERNAL Data;
    Data* data() const { return data_.get(); }

private:
    friend struct x509;
    std::shared_ptr<Data> data_;
};

struct x509 {
    // PEM of a signed certificate; an unsigned one asserts.
    static std::string Encode(const Cert& cert);
    // Builds and signs the request the first time, then writes its PEM.
    static std::string Encode(const Request& request);
    static Cert Decode(const std::string& text);
    static Request DecodeRequest(const std::string& text);
};

// DER of a PKCS#12 bundle without password or friendly name; the certificate must be signed.
struct pkcs12 {
    static std::string Encode(const Cert& cert);
    static std::string Encode(const Cert& cert, const RsaPrivateKey& key);
};

}  // namespace vux_crypto

VUX_API_END

#endif
