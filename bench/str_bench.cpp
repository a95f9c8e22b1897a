// base64 of 64 MB: our codec against OpenSSL's block functions on the same bytes.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include <libvux/vuxstr.h>

namespace {

const std::size_t kSize = 64u << 20;

const std::string& Plain() {
    static const std::string data = [] {
        std::string s(kSize, '\0');
        std::mt19937_64 gen(42);
        for (std::size_t i = 0; i + 8 <= s.size(); i += 8) {
            std::uint64_t v = gen();
            s.replace(i, 8, reinterpret_cast<const char*>(&v), 8);
        }
        return s;
    }();
    return data;
}

const std::string& Encoded() {
    static const std::string data = str::base64::Encode(Plain());
    return data;
}

void BM_Vux_Base64Encode(benchmark::State& state) {
    const std::string& in = Plain();
    for (auto _ : state) {
        std::string out = str::base64::Encode(in);
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

void BM_Vux_Base64Decode(benchmark::State& state) {
    const std::string& in = Encoded();
    for (auto _ : state) {
        std::string out = str::base64::Decode(in);
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

BENCHMARK(BM_Vux_Base64Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSSL_EncodeBlock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vux_Base64Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSSL_DecodeBlock)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
