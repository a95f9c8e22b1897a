// Parsing and printing a million addresses: Ip against inet_pton + inet_ntop on the same texts.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include <libvux/vuxnet.h>

namespace {

const std::size_t kCount = 1000000;

// Half IPv4, half IPv6 in assorted spellings (compressed, full, upper case, mapped).
const std::vector<std::string>& Texts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> out;
        out.reserve(kCount);
        std::mt19937 rng(9);
        char buf[INET6_ADDRSTRLEN];
        for (std::size_t i = 0; i < kCount; ++i) {
            unsigned char b[16];
            for (unsigned char& c : b) c = rng();
            switch (i % 4) {
            case 0: out.push_back(inet_ntop(AF_INET, b, buf, sizeof buf)); break;
            case 1:
                for (int g = 2; g < 10; ++g) b[g] = 0;
                out.push_back(inet_ntop(AF_INET6, b, buf, sizeof buf));
                break;
            case 2: out.push_back(inet_ntop(AF_INET, b, buf, sizeof buf)); break;
            default: {
                out.push_back(i % 8 == 3 ? "::ffff:" + std::string(inet_ntop(AF_INET, b, buf, sizeof buf))
                                         : std::string(inet_ntop(AF_INET6, b, buf, sizeof buf)));
            }
            }
        }
        return out;
    }();
    return texts;
}

void BM_Ip_ParsePrint(benchmark::State& state) {
    const std::vector<std::string>& texts = Texts();
    for (auto _ : state) {
        std::size_t total = 0;
        for (const std::string& t : texts) total += vux_net::Ip(t).Str().size();
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * texts.size());
}

// What a caller without the library writes: try one family, then the other, print into a string.
void BM_Libc_PtonNtop(benchmark::State& state) {
    const std::vector<std::string>& texts = Texts();
    for (auto _ : state) {
        std::size_t total = 0;
        for (const std::string& t : texts) {
            unsigned char b[16];
            char buf[INET6_ADDRSTRLEN];
            const int family = inet_pton(AF_INET, t.c_str(), b) == 1 ? AF_INET : AF_INET6;
            if (family == AF_INET6 && inet_pton(AF_INET6, t.c_str(), b) != 1) continue;
            total += std::string(inet_ntop(family, b, buf, sizeof buf)).size();
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * texts.size());
}

BENCHMARK(BM_Ip_ParsePrint)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libc_PtonNtop)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
