#include <libvux/vuxcrypto.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/opensslconf.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <memory>
#include <mutex>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>

#ifndef OPENSSL_THREADS
#error "OpenSSL must be built with thread support"
#endif

namespace vux_crypto {

struct RsaPublicKey::Data {
    EVP_PKEY* pkey = nullptr;
    // Serialises use of the key by the threads that share it.
    vux_thread::SafeLock lock;

    Data() = default;
    ~Data() { EVP_PKEY_free(pkey); }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
};

namespace {

VUX_LOG_MODULE("libvux", "core")

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using P12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>>;

void FreeExtensions(STACK_OF(X509_EXTENSION) * s) { sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free); }
using ExtStackPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), Deleter<STACK_OF(X509_EXTENSION), FreeExtensions>>;

void LoadAll() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A lock of its own: vux_thread::Init's is already held when an HTTP or SSH
        // set-up calls Init from there.
        static std::mutex lock;
        std::lock_guard<std::mutex> guard(lock);
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                                OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                            nullptr);
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    });
}

// OpenSSL's text for the first queued error; the queue is emptied.
std::string OpenSslText(const char* fallback = "") {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code) return fallback;
    char text[1024];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

vux_err::Error CryptoError(const char* step, const char* fallback = "") {
    std::string text = OpenSslText(fallback);
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "crypto %s: %s", step, text.c_str());
    return vux_err::Error("crypto", step, text);
}

// A failure of ours or of OpenSSL, not of the caller's input.
[[noreturn]] void Fail(const char* step) {
    vux_err::Error e = CryptoError(step);
    throw e.set_report();
}

void Check(bool ok, const char* step) {
    if (!ok) Fail(step);
}

vux_err::Error CodecError(const char* step, const char* format, const char* kind, const char* fallback = "") {
    vux_err::Error e = CryptoError(step, fallback);
    e.add_param("format", format).add_message("type", kind);
    return e;
}

BioPtr WriteBio() {
    BioPtr bio(BIO_new(BIO_s_mem()));
    Check(bio != nullptr, "init_bio");
    return bio;
}

// A read-only buffer on the caller's text, which must outlive it.
BioPtr ReadBio(const std::string& text) {
    if (text.size() > INT_MAX) throw vux_err::Error("crypto", "init_bio", "text too long");
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    Check(bio != nullptr, "init_bio");
    return bio;
}

std::string Drain(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    Check(n >= 0 && (data || n == 0), "convert_bio");
    return std::string(data ? data : "", static_cast<std::size_t>(n));
}

// Encrypted PEM is refused rather than letting OpenSSL ask a terminal for a password.
int NoPassword(char*, int, int, void*) { return -1; }

EVP_PKEY* Pkey(const RsaPublicKey& key, const char* use) {
    RsaPublicKey::Data* d = key.data();
    VUX_ASSERT(d != nullptr, use);
    VUX_ASSERT(d->pkey != nullptr, use);
    return d->pkey;
}

PkeyCtxPtr OperationOn(EVP_PKEY* pkey, const char* step) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
    Check(ctx != nullptr, step);
    return ctx;
}

BnPtr KeyNumber(EVP_PKEY* pkey, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) return nullptr;
    return BnPtr(bn);
}

bool IsRsa(EVP_PKEY* pkey) {
    return EVP_PKEY_is_a(pkey, "RSA") && KeyNumber(pkey, OSSL_PKEY_PARAM_RSA_N) &&
           KeyNumber(pkey, OSSL_PKEY_PARAM_RSA_E);
}

// A length-prefixed field of the OpenSSH wire format.
void AppendField(std::string& out, const std::string& bytes) {
    const std::size_t n = bytes.size();
    const char len[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                         static_cast<char>(n)};
    out.append(len, 4).append(bytes);
}

// The unsigned big-endian magnitude, with a zero byte in front when the top bit is set so
// that it does not read as negative.
std::string Magnitude(const BIGNUM* bn) {
    VUX_ASSERT(bn != nullptr, "bn is null");
    std::string out(static_cast<std::size_t>(BN_num_bytes(bn)) + 1, '\0');
    int n = BN_bn2bin(bn, reinterpret_cast<unsigned char*>(&out[1]));
    out.resize(static_cast<std::size_t>(n) + 1);
    if (n > 0 && !(static_cast<unsigned char>(out[1]) & 0x80)) out.erase(0, 1);
    return out;
}

// "CN" -> "CN"; an attribute OpenSSL has no name for keeps its dotted number.
std::string ObjectName(const ASN1_OBJECT* obj) {
    int nid = OBJ_obj2nid(obj);
    if (nid != NID_undef) return OBJ_nid2sn(nid);
    char text[128];
    int n = OBJ_obj2txt(text, sizeof text, obj, 1);
    return n > 0 ? std::string(text) : std::string("UNDEF");
}

StringMap NameMap(const X509_NAME* name, const char* kind) {
    StringMap fields;
    if (!name) return fields;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        unsigned char* utf8 = nullptr;
        int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        if (n < 0) throw CodecError("decode", "x509", kind, "bad name entry");
        fields[ObjectName(X509_NAME_ENTRY_get_object(entry))] = std::string(reinterpret_cast<char*>(utf8), n);
        OPENSSL_free(utf8);
    }
    return fields;
}

std::string OneLine(const X509_NAME* name) {
    if (!name) return "";
    char* text = X509_NAME_oneline(name, nullptr, 0);
    Check(text != nullptr, "convert_bio");
    std::string line(text);
    OPENSSL_free(text);
    return line;
}

// What `openssl x509 -text` prints for each; one it cannot read shows its bytes in hex.
StringMap ExtensionMap(const STACK_OF(X509_EXTENSION) * exts) {
    StringMap printed;
    for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
        X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
        BioPtr bio = WriteBio();
        std::string value;
        if (X509V3_EXT_print(bio.get(), ext, X509V3_EXT_DUMP_UNKNOWN, 0) == 1) {
            value = Drain(bio.get());
        } else {
            ERR_clear_error();
            const ASN1_OCTET_STRING* raw = X509_EXTENSION_get_data(ext);
            value = str::hex::Encode(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(raw)),
                                                 static_cast<std::size_t>(ASN1_STRING_length(raw))));
        }
        printed[ObjectName(X509_EXTENSION_get_object(ext))] = value;
    }
    return printed;
}

void AddSubject(X509_NAME* name, const StringMap& subject) {
    for (const auto& [field, value] : subject) {
        if (value.size() > INT_MAX ||
            !X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(value.data()),
                                        static_cast<int>(value.size()), -1, 0)) {
            vux_err::Error e = CryptoError("add_subject");
            throw e.add_param("field", field);
        }
    }
}

ExtPtr BuildExtension(X509V3_CTX* ctx, const std::string& name, const std::string& value) {
    ExtPtr ext(X509V3_EXT_nconf(nullptr, ctx, name.c_str(), value.c_str()));
    if (!ext) {
        vux_err::Error e = CryptoError("extension");
        throw e.add_param("name", name);
    }
    return ext;
}

int Digit(unsigned char c) { return c >= '0' && c <= '9' ? c - '0' : -1; }

// Reads `width` digits at `pos`; -1 when they are not all there.
int Number(const unsigned char* p, int length, int pos, int width) {
    if (pos + width > length) return -1;
    int value = 0;
    for (int i = pos; i < pos + width; ++i) {
        if (Digit(p[i]) < 0) return -1;
        value = value * 10 + Digit(p[i]);
    }
    return value;
}

// Once signed the names are fixed: a change then would be silently lost.
void Put(StringMap& map, bool is_signed, const std::string& name, const std::string& value) {
    VUX_ASSERT(!is_signed, "add subject for signed certificate");
    map[name] = value;
}

vux_date::DateTime Unset() { return vux_date::DateTime(vux_date::AccurateDateTime(vux_date::uninitialized())); }

// UTCTime (YYMMDDhhmm[ss]Z) or GeneralizedTime (YYYYMMDDhhmm[ss]Z). The fields are UTC, so
// they go through timegm: mktime would take them for local time and shift the moment.
vux_date::DateTime FromAsn1Time(const ASN1_TIME* t) {
    if (!t || ASN1_STRING_length(t) == 0) return Unset();
    const unsigned char* p = ASN1_STRING_get0_data(t);
    const int length = ASN1_STRING_length(t);
    const int type = ASN1_STRING_type(t);
    const int year_width = type == V_ASN1_GENERALIZEDTIME ? 4 : 2;
    int year = Number(p, length, 0, year_width);
    const int month = Number(p, length, year_width, 2), day = Number(p, length, year_width + 2, 2);
    const int hour = Number(p, length, year_width + 4, 2), minute = Number(p, length, year_width + 6, 2);
    const int second = Number(p, length, year_width + 8, 2);
    const bool known = type == V_ASN1_UTCTIME || type == V_ASN1_GENERALIZEDTIME;
    if (!known || year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second > 60) {
        std::string text(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
        ERR_clear_error();
        throw CodecError("decode", "x509", "cert").add_param("time", text);
    }
    if (year_width == 2) year += year < 50 ? 2000 : 1900;
    tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second < 0 ? 0 : second;
    return vux_date::DateTime(static_cast<long>(timegm(&fields)));
}

std::string Der(PKCS12* p12) {
    unsigned char* der = nullptr;
    int n = i2d_PKCS12(p12, &der);
    if (n < 0) throw CodecError("encode", "PKCS12", "cert");
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return out;
}

// Holds the process's one thread-safety set-up. OpenSSL 3 guards its own state with
// pthread locks and keeps error queues per thread; what is left for us is to finish its
// one-time initialisation before threads race to it.
class ThreadSafe {
public:
    ThreadSafe() {
        static std::atomic<int> made{0};
        VUX_ASSERT(made.fetch_add(1) == 0, "Try to create second instance of vux_crypto::ThreadSafe");
        LoadAll();
        VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "OpenSSL %s ready for threads", OpenSSL_version(OPENSSL_VERSION));
    }
    ThreadSafe(const ThreadSafe&) = delete;
    ThreadSafe& operator=(const ThreadSafe&) = delete;
};

}  // namespace

void Init() { static ThreadSafe safe; }

// ---- keys

RsaPublicKey::~RsaPublicKey() {}

std::size_t RsaPublicKey::size() const {
    return static_cast<std::size_t>(EVP_PKEY_get_bits(Pkey(*this, "get size of dummy key pair")));
}

std::size_t RsaPublicKey::sigsize() const {
    return static_cast<std::size_t>(EVP_PKEY_get_size(Pkey(*this, "get sigsize of dummy key pair")));
}

RsaPrivateKey::RsaPrivateKey(std::size_t bits) {
    LoadAll();
    data_ = std::make_shared<Data>();
    if (bits == static_cast<std::size_t>(-1)) return;
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "generate RSA key of %zu bits", bits);
    ERR_clear_error();
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    Check(ctx != nullptr, "allocate");
    BnPtr exponent(BN_new());
    EVP_PKEY* made = nullptr;
    bool ok = exponent && BN_set_word(exponent.get(), 0x10001) && bits <= INT_MAX &&
              EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) == 1 &&
              EVP_PKEY_keygen(ctx.get(), &made) == 1;
    if (!ok) {
        EVP_PKEY_free(made);
        vux_err::Error e = CryptoError("generate_rsa");
        throw e.add_param("length", std::to_string(bits));
    }
    data_->pkey = made;
}

std::string pem_public::Encode(const RsaPublicKey& key) {
    EVP_PKEY* pkey = Pkey(key, "encode dummy key");
    vux_thread::SafeSection guard(key.data()->lock);
    ERR_clear_error();
    BioPtr bio = WriteBio();
    if (PEM_write_bio_PUBKEY(bio.get(), pkey) != 1) throw CodecError("encode", "pem", "public").set_report();
    return Drain(bio.get());
}

RsaPublicKey pem_public::Decode(const std::string& text) {
    LoadAll();
    ERR_clear_error();
    BioPtr bio = ReadBio(text);
    PkeyPtr pkey(PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassword, nullptr));
    if (!pkey || !IsRsa(pkey.get())) throw CodecError("decode", "pem", "public", "not an RSA public key");
    RsaPrivateKey key(static_cast<std::size_t>(-1));
    key.data()->pkey = pkey.release();
    return key;
}

std::string pem_private::Encode(const RsaPrivateKey& key) {
    EVP_PKEY* pkey = Pkey(key, "encode dummy key");
    vux_thread::SafeSection guard(key.data()->lock);
    ERR_clear_error();
    BioPtr bio = WriteBio();
    if (PEM_write_bio_PrivateKey_traditional(bio.get(), pkey, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw CodecError("encode", "pem", "private").set_report();
    return Drain(bio.get());
}

RsaPrivateKey pem_private::Decode(const std::string& text) {
    LoadAll();
    ERR_clear_error();
    BioPtr bio = ReadBio(text);
    PkeyPtr pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr));
    if (!pkey || !IsRsa(pkey.get()) || !KeyNumber(pkey.get(), OSSL_PKEY_PARAM_RSA_D))
        throw CodecError("decode", "pem", "private", "not an RSA private key");
    RsaPrivateKey key(static_cast<std::size_t>(-1));
    key.data()->pkey = pkey.release();
    return key;
}

std::string ssh_public::Encode(const RsaPublicKey& key) {
    EVP_PKEY* pkey = Pkey(key, "encode dummy key");
    vux_thread::SafeSection guard(key.data()->lock);
    BnPtr n = KeyNumber(pkey, OSSL_PKEY_PARAM_RSA_N);
    BnPtr e = KeyNumber(pkey, OSSL_PKEY_PARAM_RSA_E);
    std::string blob;
    AppendField(blob, "ssh-rsa");
    AppendField(blob, Magnitude(e.get()));
    AppendField(blob, Magnitude(n.get()));
    return "ssh-rsa " + str::base64::Encode(blob);
}

// ---- encryption and signatures

std::string crypt::Crypt(const RsaPublicKey& key, const std::string& data) {
    EVP_PKEY* pkey = Pkey(key, "crypt by dummy key");
    const std::size_t block = key.sigsize();
    // PKCS#1 v1.5 padding takes 11 bytes of the block.
    if (data.size() + 11 > block) throw vux_err::Error("crypto", "toolong", std::to_string(data.size())).add_param("limit", int(block) - 11);
    vux_thread::SafeSection guard(key.data()->lock);
    ERR_clear_error();
    PkeyCtxPtr ctx = OperationOn(pkey, "encrypt");
    std::string out(block, '\0');
    std::size_t n = out.size();
    Check(EVP_PKEY_encrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &n,
                               reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1,
          "encrypt");
    out.resize(n);
    return out;
}

std::string crypt::Decrypt(const RsaPrivateKey& key, const std::string& data) {
    EVP_PKEY* pkey = Pkey(key, "decrypt by dummy key");
    const std::size_t block = key.sigsize();
    if (data.size() != block) throw vux_err::Error("crypto", "datasize", std::to_string(data.size())).add_param("sigsize", int(block));
    vux_thread::SafeSection guard(key.data()->lock);
    ERR_clear_error();
    PkeyCtxPtr ctx = OperationOn(pkey, "decrypt");
    std::string out(block, '\0');
    std::size_t n = out.size();
    if (EVP_PKEY_decrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &n,
                         reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
        throw CryptoError("decrypt");
    out.resize(n);
    return out;
}

namespace {

// A PKCS#1 v1.5 operation over a SHA-256 DigestInfo.
PkeyCtxPtr Sha256Signing(EVP_PKEY* pkey, int (*init)(EVP_PKEY_CTX*), const char* step) {
    PkeyCtxPtr ctx = OperationOn(pkey, step);
    if (init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1)
        return nullptr;
    return ctx;
}

}  // namespace

std::string sign::Calculate(const RsaPrivateKey& key, const std::string& digest) {
    EVP_PKEY* pkey = Pkey(key, "calculate signature by dummy key");
    vux_thread::SafeSection guard(key.data()->lock);
    ERR_clear_error();
    PkeyCtxPtr ctx = Sha256Signing(pkey, EVP_PKEY_sign_init, "sign");
    std::string out(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)), '\0');
    std::size_t n = out.size();
    if (!ctx || EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &n,
                              reinterpret_cast<const unsigned char*>(digest.data()), digest.size()) != 1)
        throw CryptoError("sign");
    out.resize(n);
    return out;
}

bool sign::Verify(const RsaPublicKey& key, const std::string& digest, const std::string& signature) {
    EVP_PKEY* pkey = Pkey(key, "verify by dummy key");
    vux_thread::SafeSection guard(key.data()->lock);
    ERR_clear_error();
    PkeyCtxPtr ctx = Sha256Signing(pkey, EVP_PKEY_verify_init, "verify");
    bool ok = ctx && EVP_PKEY_verify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                                     signature.size(), reinterpret_cast<const unsigned char*>(digest.data()),
                                     digest.size()) == 1;
    ERR_clear_error();
    return ok;
}

// ---- certificates

struct Cert::Data {
    X509* x509 = nullptr;
    int not_before_days = 0;
    int not_after_days = 365;
    StringMap subject;
    StringMap extensions;
    RsaPrivateKey key;
    bool is_signed = false;

    explicit Data(X509* x) : x509(x) {}
    ~Data() { X509_free(x509); }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
};

namespace {

std::shared_ptr<Cert::Data> NewCert() {
    LoadAll();
    X509* x = X509_new();
    Check(x != nullptr, "init_x509");
    return std::make_shared<Cert::Data>(x);
}

}  // namespace

Cert::Cert() : data_(NewCert()) {}

Cert::~Cert() {}

bool Cert::Verify(const RsaPublicKey& key) const {
    VUX_ASSERT(data_, "verify dummy certificate");
    EVP_PKEY* pkey = Pkey(key, "get rsa of dummy key pair");
    vux_thread::SafeSection guard(key.data()->lock);
    bool ok = X509_verify(data_->x509, pkey) == 1;
    ERR_clear_error();
    return ok;
}

bool Cert::VerifyPrivateKey(const RsaPrivateKey& key) const {
    VUX_ASSERT(data_, "verify dummy certificate");
    EVP_PKEY* pkey = Pkey(key, "get rsa of dummy key pair");
    vux_thread::SafeSection guard(key.data()->lock);
    bool ok = X509_check_private_key(data_->x509, pkey) == 1;
    ERR_clear_error();
    return ok;
}

std::string Cert::Issuer() const {
    VUX_ASSERT(data_, "get issuer from dummy certificate");
    return OneLine(X509_get_issuer_name(data_->x509));
}

std::string Cert::Subject() const {
    VUX_ASSERT(data_, "get subject from dummy certificate");
    return OneLine(X509_get_subject_name(data_->x509));
}

StringMap Cert::GetIssuer() const {
    VUX_ASSERT(data_, "get issuer from dummy certificate");
    return NameMap(X509_get_issuer_name(data_->x509), "cert");
}

StringMap Cert::GetSubject() const {
    VUX_ASSERT(data_, "get subject for dummy certificate");
    return NameMap(X509_get_subject_name(data_->x509), "cert");
}

vux_date::DateTime Cert::GetNotBefore() const {
    VUX_ASSERT(data_, "set date for dummy certificate");
    return FromAsn1Time(X509_get0_notBefore(data_->x509));
}

vux_date::DateTime Cert::GetNotAfter() const {
    VUX_ASSERT(data_, "set date for dummy certificate");
    return FromAsn1Time(X509_get0_notAfter(data_->x509));
}

StringMap Cert::GetExtensions() const {
    VUX_ASSERT(data_, "get keys from dummy certificate");
    return ExtensionMap(X509_get0_extensions(data_->x509));
}

SelfSignCert::SelfSignCert(std::size_t bits) {
    data_ = NewCert();
    data_->key = RsaPrivateKey(bits);
}

SelfSignCert& SelfSignCert::SetNotBefore(int days) {
    VUX_ASSERT(data_, "set date for dummy certificate");
    data_->not_before_days = days;
    return *this;
}

SelfSignCert& SelfSignCert::SetNotAfter(int days) {
    VUX_ASSERT(data_, "set date for dummy certificate");
    data_->not_after_days = days;
    return *this;
}

SelfSignCert& SelfSignCert::AddToSubject(const std::string& field, const std::string& value) {
    VUX_ASSERT(data_, "add subject for dummy certificate");
    Put(data_->subject, data_->is_signed, field, value);
    return *this;
}

SelfSignCert& SelfSignCert::AddToExtensions(const std::string& name, const std::string& value) {
    VUX_ASSERT(data_, "add extensions for dummy certificate");
    Put(data_->extensions, data_->is_signed, name, value);
    return *this;
}

SelfSignCert& SelfSignCert::Sign() {
    VUX_ASSERT(data_, "try to sign dummy certificate");
    VUX_ASSERT(!data_->is_signed, "try to sign already signed certificate");
    X509* x = data_->x509;
    EVP_PKEY* pkey = Pkey(data_->key, "get rsa of dummy key pair");
    vux_thread::SafeSection guard(data_->key.data()->lock);
    ERR_clear_error();
    // The key goes in first, so that an extension made from it (subjectKeyIdentifier=hash) can.
    Check(X509_set_pubkey(x, pkey) == 1, "set_public");
    if (!data_->extensions.empty()) {
        Check(X509_set_version(x, 2) == 1, "set_version");
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
        for (const auto& [name, value] : data_->extensions) {
            ExtPtr ext = BuildExtension(&ctx, name, value);
            Check(X509_add_ext(x, ext.get(), -1) == 1, "extension");
        }
    }
    AddSubject(X509_get_subject_name(x), data_->subject);
    Check(X509_set_issuer_name(x, X509_get_subject_name(x)) == 1, "set_issuer");
    Check(X509_gmtime_adj(X509_getm_notBefore(x), data_->not_before_days * 86400L) != nullptr, "set_notbefore");
    Check(X509_gmtime_adj(X509_getm_notAfter(x), data_->not_after_days * 86400L) != nullptr, "set_notafter");
    BnPtr serial(BN_new());
    Check(serial && BN_rand(serial.get(), 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
              BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) != nullptr,
          "generate_serial");
    Check(X509_sign(x, pkey, EVP_sha256()) > 0, "selfsign");
    data_->is_signed = true;
    return *this;
}

RsaPrivateKey SelfSignCert::key() const {
    VUX_ASSERT(data_, "get keys from dummy certificate");
    return data_->key;
}

// ---- requests

struct Request::Data {
    X509_REQ* req = nullptr;
    RsaPrivateKey key;
    StringMap subject;
    StringMap extensions;
    bool is_signed = false;

    explicit Data(X509_REQ* r) : req(r) {}
    ~Data() { X509_REQ_free(req); }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
};

namespace {

std::shared_ptr<Request::Data> NewRequest() {
    LoadAll();
    X509_REQ* req = X509_REQ_new();
    Check(req != nullptr, "init_x509_request");
    return std::make_shared<Request::Data>(req);
}

void BuildRequest(Request::Data& d) {
    EVP_PKEY* pkey = Pkey(d.key, "get rsa of dummy key pair");
    vux_thread::SafeSection guard(d.key.data()->lock);
    Check(X509_REQ_set_version(d.req, 0) == 1, "set_version");
    NamePtr name(X509_NAME_new());
    Check(name != nullptr, "allocate");
    AddSubject(name.get(), d.subject);
    Check(X509_REQ_set_subject_name(d.req, name.get()) == 1, "set_subject");
    if (!d.extensions.empty()) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, nullptr, nullptr, d.req, nullptr, 0);
        ExtStackPtr list(sk_X509_EXTENSION_new_null());
        Check(list != nullptr, "allocate");
        for (const auto& [ext_name, value] : d.extensions) {
            ExtPtr ext = BuildExtension(&ctx, ext_name, value);
            Check(sk_X509_EXTENSION_push(list.get(), ext.get()) > 0, "extension");
            ext.release();
        }
        Check(X509_REQ_add_extensions(d.req, list.get()) == 1, "extension");
    }
    Check(X509_REQ_sign(d.req, pkey, EVP_sha256()) > 0, "requestsign");
    d.is_signed = true;
}

}  // namespace

Request::Request(std::size_t bits) : data_(NewRequest()) {
    data_->key = RsaPrivateKey(bits);
    Check(X509_REQ_set_pubkey(data_->req, Pkey(data_->key, "get rsa of dummy key pair")) == 1, "set_public");
}

Request& Request::AddToSubject(const std::string& field, const std::string& value) {
    VUX_ASSERT(data_, "add subject for dummy certificate");
    Put(data_->subject, data_->is_signed, field, value);
    return *this;
}

Request& Request::AddToExtensions(const std::string& name, const std::string& value) {
    VUX_ASSERT(data_, "add extensions for dummy certificate");
    Put(data_->extensions, data_->is_signed, name, value);
    return *this;
}

StringMap Request::GetSubject() const {
    VUX_ASSERT(data_, "get subject for dummy certificate");
    if (!data_->is_signed) return data_->subject;
    return NameMap(X509_REQ_get_subject_name(data_->req), "request");
}

StringMap Request::GetExtensions() const {
    VUX_ASSERT(data_, "get keys from dummy certificate");
    if (!data_->is_signed) return data_->extensions;
    ExtStackPtr exts(X509_REQ_get_extensions(data_->req));
    ERR_clear_error();
    return ExtensionMap(exts.get());
}

RsaPrivateKey Request::key() const {
    VUX_ASSERT(data_, "get keys from dummy certificate");
    return data_->key;
}

// ---- encodings

std::string x509::Encode(const Cert& cert) {
    VUX_ASSERT(cert.data_, "encode dummy certificate");
    VUX_ASSERT(cert.data_->is_signed, "certificate in not signed");
    ERR_clear_error();
    BioPtr bio = WriteBio();
    if (PEM_write_bio_X509(bio.get(), cert.data_->x509) != 1) throw CodecError("encode", "x509", "cert").set_report();
    return Drain(bio.get());
}

std::string x509::Encode(const Request& request) {
    VUX_ASSERT(request.data_, "encode dummy certificate");
    ERR_clear_error();
    BioPtr bio = WriteBio();
    // Building again would add every subject entry a second time.
    if (!request.data_->is_signed) BuildRequest(*request.data_);
    if (PEM_write_bio_X509_REQ(bio.get(), request.data_->req) != 1)
        throw CodecError("encode", "x509", "request").set_report();
    return Drain(bio.get());
}

Cert x509::Decode(const std::string& text) {
    LoadAll();
    ERR_clear_error();
    BioPtr bio = ReadBio(text);
    X509* x = PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr);
    if (!x) throw CodecError("decode", "x509", "cert");
    Cert cert(Cert::Empty{});
    cert.data_ = std::make_shared<Cert::Data>(x);
    cert.data_->is_signed = true;
    return cert;
}

Request x509::DecodeRequest(const std::string& text) {
    LoadAll();
    ERR_clear_error();
    BioPtr bio = ReadBio(text);
    X509_REQ* req = PEM_read_bio_X509_REQ(bio.get(), nullptr, NoPassword, nullptr);
    if (!req) throw CodecError("decode", "x509", "request");
    Request request;
    request.data_ = std::make_shared<Request::Data>(req);
    request.data_->is_signed = true;
    return request;
}

namespace {

std::string Bundle(const Cert& cert, EVP_PKEY* pkey) {
    Cert::Data* d = cert.data();
    VUX_ASSERT(d != nullptr, "encode dummy certificate");
    VUX_ASSERT(d->is_signed, "certificate in not signed");
    ERR_clear_error();
    P12Ptr p12(PKCS12_create(nullptr, nullptr, pkey, d->x509, nullptr, 0, 0, 0, 0, 0));
    if (!p12) throw CodecError("encode", "PKCS12", "cert").set_report();
    return Der(p12.get());
}

}  // namespace

std::string pkcs12::Encode(const Cert& cert) { return Bundle(cert, nullptr); }

std::string pkcs12::Encode(const Cert& cert, const RsaPrivateKey& key) {
    EVP_PKEY* pkey = Pkey(key, "get rsa of dummy key pair");
    vux_thread::SafeSection guard(key.data()->lock);
    return Bundle(cert, pkey);
}

}  // namespace vux_crypto
