// RSA-2048 signing and verifying through vux_crypto against OpenSSL's EVP interface on the same
// key, and 4096-bit multiplication through vux_bignum::Int against BN_mul, in the same run.
#include <benchmark/benchmark.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <string>

#include <libvux/vuxbignum.h>
#include <libvux/vuxcrypto.h>
#include <libvux/vuxhash.h>

#include "bench_util.h"

namespace {

struct Keys {
    vux_crypto::RsaPrivateKey ours{2048};
    EVP_PKEY* raw = nullptr;
    std::string digest = vux_hash::Hash(vux_hash::HashSHA256).Update("benchmark").Str();

    Keys() {
        const std::string pem = vux_crypto::pem_private::Encode(ours);
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        raw = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        if (!raw) std::abort();
    }
};

Keys& Shared() {
    static Keys keys;
    return keys;
}

// The steps a caller of EVP takes for one PKCS#1 v1.5 SHA-256 operation.
EVP_PKEY_CTX* RawContext(EVP_PKEY* key, int (*init)(EVP_PKEY_CTX*)) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    if (!ctx || init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) != 1)
        std::abort();
    return ctx;
}

std::string RawSign(EVP_PKEY* key, const std::string& digest) {
    EVP_PKEY_CTX* ctx = RawContext(key, EVP_PKEY_sign_init);
    std::string sig(static_cast<std::size_t>(EVP_PKEY_get_size(key)), '\0');
    std::size_t n = sig.size();
    if (EVP_PKEY_sign(ctx, reinterpret_cast<unsigned char*>(&sig[0]), &n,
                      reinterpret_cast<const unsigned char*>(digest.data()), digest.size()) != 1)
        std::abort();
    EVP_PKEY_CTX_free(ctx);
    sig.resize(n);
    return sig;
}

void BM_Vux_RsaSign2048(benchmark::State& state) {
    Keys& k = Shared();
    for (auto _ : state) {
        std::string sig = vux_crypto::sign::Calculate(k.ours, k.digest);
        benchmark::DoNotOptimize(sig.data());
    }
}
BENCHMARK(BM_Vux_RsaSign2048)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(3);

void BM_Evp_RsaSign2048(benchmark::State& state) {
    Keys& k = Shared();
    for (auto _ : state) {
        std::string sig = RawSign(k.raw, k.digest);
        benchmark::DoNotOptimize(sig.data());
    }
}
BENCHMARK(BM_Evp_RsaSign2048)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(3);

void BM_Vux_RsaVerify2048(benchmark::State& state) {
    Keys& k = Shared();
    const std::string sig = RawSign(k.raw, k.digest);
    for (auto _ : state) {
        bool ok = vux_crypto::sign::Verify(k.ours, k.digest, sig);
        if (!ok) std::abort();
    }
}
BENCHMARK(BM_Vux_RsaVerify2048)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(3);

void BM_Evp_RsaVerify2048(benchmark::State& state) {
    Keys& k = Shared();
    const std::string sig = RawSign(k.raw, k.digest);
    for (auto _ : state) {
        EVP_PKEY_CTX* ctx = RawContext(k.raw, EVP_PKEY_verify_init);
        if (EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char*>(k.digest.data()), k.digest.size()) != 1)
            std::abort();
        EVP_PKEY_CTX_free(ctx);
    }
}
BENCHMARK(BM_Evp_RsaVerify2048)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(3);

const std::string& Operand(unsigned seed) {
    static const std::string a = benchutil::RandomBytes(512, 11), b = benchutil::RandomBytes(512, 12);
    return seed == 11 ? a : b;
}

void BM_Vux_IntMul4096(benchmark::State& state) {
    vux_bignum::Int a, b;
    a.SetBe(reinterpret_cast<const unsigned char*>(Operand(11).data()), 512);
    b.SetBe(reinterpret_cast<const unsigned char*>(Operand(12).data()), 512);
    for (auto _ : state) {
        vux_bignum::Int r = a * b;
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_Vux_IntMul4096)->UseRealTime()->Unit(benchmark::kNanosecond)->MinTime(3);

void BM_Bn_Mul4096(benchmark::State& state) {
    BIGNUM* a = BN_bin2bn(reinterpret_cast<const unsigned char*>(Operand(11).data()), 512, nullptr);
    BIGNUM* b = BN_bin2bn(reinterpret_cast<const unsigned char*>(Operand(12).data()), 512, nullptr);
    BIGNUM* r = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    for (auto _ : state) {
        if (BN_mul(r, a, b, ctx) != 1) std::abort();
        benchmark::DoNotOptimize(r);
    }
    BN_CTX_free(ctx);
    BN_free(r);
    BN_free(b);
    BN_free(a);
}
BENCHMARK(BM_Bn_Mul4096)->UseRealTime()->Unit(benchmark::kNanosecond)->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
