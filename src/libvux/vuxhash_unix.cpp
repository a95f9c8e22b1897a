#include <libvux/vuxhash.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <mutex>

#include <libvux/vuxerr.h>

namespace vux_hash {

namespace {


// OpenSSL's text for the first queued error; the queue is emptied.
std::string OpenSslText() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code) return "";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

void LoadDigests() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    });
}

}  // namespace

struct Hash::Data {
    EVP_MD_CTX* ctx = nullptr;  // null once finalised
    unsigned int length = 0;
    unsigned char digest[EVP_MAX_MD_SIZE];

    ~Data() {
        if (ctx) EVP_MD_CTX_free(ctx);
    }
};

Hash::Hash(HashType type) {
    LoadDigests();
    const EVP_MD* md = nullptr;
    switch (type) {
        case HashMD5: md = EVP_md5(); break;
        case HashSHA1: md = EVP_sha1(); break;
        case HashSHA256: md = EVP_sha256(); break;
        case HashSHA512: md = EVP_sha512(); break;
        default: {
            vux_err::Error e("hash", "hashtype");
            e.add_param("type", static_cast<int>(type));
            throw e;
        }
    }
    auto data = std::make_shared<Data>();
    data->ctx = EVP_MD_CTX_new();
    if (!data->ctx || !md || EVP_DigestInit_ex(data->ctx, md, nullptr) != 1)
        throw vux_err::Error("hash", "init_evp", OpenSslText());
    data_ = data;
}

Hash& Hash::Update(const char* data, std::size_t size) {
    VUX_ASSERT(data_, "try to update dummy hash");
    VUX_ASSERT(data_->ctx, "yry to update hash after finalizing");
    if (size && EVP_DigestUpdate(data_->ctx, data, size) != 1)
        throw vux_err::Error("hash", "update", OpenSslText());
    return *this;
}

Hash& Hash::Update(const std::string& data) { return Update(data.data(), data.size()); }

std::string Hash::Str() {
    VUX_ASSERT(data_, "try to get string of dummy hash");
    if (data_->ctx) {
        unsigned int n = 0;
        int ok = EVP_DigestFinal_ex(data_->ctx, data_->digest, &n);
        EVP_MD_CTX_free(data_->ctx);
        data_->ctx = nullptr;
        if (ok != 1) throw vux_err::Error("hash", "final", OpenSslText());
        data_->length = n;
    }
    return std::string(reinterpret_cast<const char*>(data_->digest), data_->length);
}

}  // namespace vux_hash
