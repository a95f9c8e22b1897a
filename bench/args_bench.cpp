// Parsing a command line of 50 options (flags, values, a multiple one, a group and
// sub-options) into a fresh result.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <libvux/vuxargs.h>

namespace {

void BM_Vux_Parse50Options(benchmark::State& state) {
    vux_args::Args args("bench");
    for (int i = 0; i < 20; ++i) args.AddOption("flag" + std::to_string(i), ' ', "a flag");
    for (int i = 0; i < 20; ++i) args.AddOption("value" + std::to_string(i), ' ', "a value").SetParam();
    args.AddOption("many", 'm', "repeatable").SetMultiple().SetParam();
    args.AddOption("json", 'j', "output").SetGroup("format").AddOption("xml", 'x', "output").SetGroup("format");
    args.AddOption("user", 'u', "parent").AddSuboption("group", 'g', "child").SetParam();
    std::vector<std::string> words{"bench"};
    for (int i = 0; i < 20; ++i) words.push_back(std::string("--flag").append(std::to_string(i)));
    for (int i = 0; i < 20; ++i) {
        words.push_back(std::string("--value").append(std::to_string(i)));
        words.push_back(std::string("v").append(std::to_string(i)));
    }
    for (int i = 0; i < 6; ++i) {
        words.push_back("-m");
        words.push_back(std::to_string(i));
    }
    for (const char* w : {"--xml", "-u", "--group", "wheel", "plain"}) words.push_back(w);
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    for (auto _ : state) {
        if (args.Parse(static_cast<int>(argv.size()), argv.data()) != 1) std::abort();
        benchmark::DoNotOptimize(args.GetResult());
    }
}

}  // namespace

BENCHMARK(BM_Vux_Parse50Options)->Iterations(100000);
BENCHMARK_MAIN();
