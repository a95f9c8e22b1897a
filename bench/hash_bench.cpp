// SHA-256 of 256 MB through vux_hash against OpenSSL's EVP interface directly,
// same buffer, same 1 MiB pieces, in the same run.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdlib>
#include <string>

#include <libvux/vuxhash.h>

#include "bench_util.h"

namespace {

const std::size_t kSize = 256u << 20;
const std::size_t kPiece = 1u << 20;

const std::string& Data() {
    static const std::string data = benchutil::RandomBytes(kSize, 7);
    return data;
}

void BM_VuxHash_SHA256_256MB(benchmark::State& state) {
    const std::string& d = Data();
    for (auto _ : state) {
        vux_hash::Hash h(vux_hash::HashSHA256);
        for (std::size_t pos = 0; pos < d.size(); pos += kPiece) h.Update(d.data() + pos, kPiece);
        std::string digest = h.Str();
        benchmark::DoNotOptimize(digest.data());
    }
    state.SetBytesProcessed(static_cast<long>(state.iterations() * kSize));
}
BENCHMARK(BM_VuxHash_SHA256_256MB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_Evp_SHA256_256MB(benchmark::State& state) {
    const std::string& d = Data();
    for (auto _ : state) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) std::abort();
        for (std::size_t pos = 0; pos < d.size(); pos += kPiece) EVP_DigestUpdate(ctx, d.data() + pos, kPiece);
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_DigestFinal_ex(ctx, md, &n);
        EVP_MD_CTX_free(ctx);
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(static_cast<long>(state.iterations() * kSize));
}
BENCHMARK(BM_Evp_SHA256_256MB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
