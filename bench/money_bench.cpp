// Parsing and printing amounts: Money against strtod and snprintf("%.2f") on the same texts.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <libvux/vuxmoney.h>

namespace {

const std::vector<std::string>& Texts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> v;
        std::mt19937 gen(3);
        std::uniform_int_distribution<long long> whole(0, 99999999);
        std::uniform_int_distribution<int> cents(0, 99), sign(0, 3);
        for (int i = 0; i < 1024; ++i) {
            char buf[64];
            std::snprintf(buf, sizeof(buf), "%s%lld.%02d", sign(gen) ? "" : "-", whole(gen), cents(gen));
            v.push_back(buf);
        }
        return v;
    }();
    return texts;
}

void BM_Money_ParseFormat(benchmark::State& state) {
    const std::vector<std::string>& texts = Texts();
    std::size_t i = 0;
    for (auto _ : state) {
        std::string out = vux_money::Money(texts[i++ & 1023]).AsString();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Strtod_Snprintf(benchmark::State& state) {
    const std::vector<std::string>& texts = Texts();
    std::size_t i = 0;
    for (auto _ : state) {
        double d = std::strtod(texts[i++ & 1023].c_str(), nullptr);
        char buf[64];
        int n = std::snprintf(buf, sizeof(buf), "%.2f", d);
        std::string out(buf, n);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_Money_ParseFormat);
BENCHMARK(BM_Strtod_Snprintf);

BENCHMARK_MAIN();
