// base64 of 64 MB: our codec against OpenSSL's block functions on the same bytes.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>

#include <libvux/vuxstr.h>

#include "bench_util.h"

namespace {

const std::size_t kSize = 64u << 20;

const std::string& Plain() {
    static const std::string data = benchutil::RandomBytes(kSize, 42);
    return data;
}

const std::string& Encoded() {
    static const std::string data = str::base64::Encode(Plain());
    return data;
}

// Our codec over one of the inputs, as each OpenSSL case below does by hand.
template <std::string (*Codec)(const std::string&), const std::string& (*Input)()>
void BM_Vux(benchmark::State& state) {
    const std::string& in = Input();
    for (auto _ : state) {
        std::string out = Codec(in);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * in.size());
}

void BM_OpenSSL_EncodeBlock(benchmark::State& state) {
    const std::string& in = Plain();
    for (auto _ : state) {
        std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
        out.resize(n);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * in.size());
}

void BM_OpenSSL_DecodeBlock(benchmark::State& state) {
    const std::string& in = Encoded();
    for (auto _ : state) {
        std::string out(3 * (in.size() / 4), '\0');
        int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
        // EVP_DecodeBlock counts padding bytes as output; drop them as a caller must.
        std::size_t pad = in.size() - in.find_last_not_of('=') - 1;
        out.resize(n - pad);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * in.size());
}

}  // namespace

BENCHMARK(BM_Vux<str::base64::Encode, Plain>)->Name("BM_Vux_Base64Encode")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSSL_EncodeBlock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vux<str::base64::Decode, Encoded>)->Name("BM_Vux_Base64Decode")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSSL_DecodeBlock)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
