// Back-reading a 100 MB log against GNU tac, and copying a 256 MB file against cp,
// on the same files in the same run.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <libvux/vuxfile.h>
#include <libvux/vuxstream.h>

namespace {

const std::string& Dir() {
    static vux_file::TmpDir dir("/tmp/vuxbench");
    return dir.name();
}

// Log-like lines of varied length.
const std::string& Log() {
    static const std::string path = [] {
        std::string p = Dir() + "/100mb.log";
        std::mt19937 gen(1);
        std::uniform_int_distribution<int> len(20, 200);
        std::string block, line;
        FILE* f = std::fopen(p.c_str(), "w");
        long total = 0;
        long n = 0;
        while (total < 100L * 1000 * 1000) {
            line = "Dec  7 06:00:00 [1234:1] libvux INFO request " + std::to_string(n++) + " ";
            line.append(static_cast<std::size_t>(len(gen)), 'x');
            line += '\n';
            total += static_cast<long>(line.size());
            std::fwrite(line.data(), 1, line.size(), f);
        }
        std::fclose(f);
        return p;
    }();
    return path;
}

const std::string& Big() {
    static const std::string path = [] {
        std::string p = Dir() + "/256mb.bin";
        std::string chunk(1 << 20, '\0');
        std::mt19937 gen(2);
        for (auto& c : chunk) c = static_cast<char>(gen());
        FILE* f = std::fopen(p.c_str(), "w");
        for (int i = 0; i < 256; ++i) std::fwrite(chunk.data(), 1, chunk.size(), f);
        std::fclose(f);
        return p;
    }();
    return path;
}

// Runs a program with its output thrown away.
void Run(const char* prog, const char* a1, const char* a2) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execlp(prog, prog, a1, a2, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
}

void BM_BackReader_100MB(benchmark::State& state) {
    const std::string& path = Log();
    for (auto _ : state) {
        vux_stream::InStream in(path);
        vux_stream::BackReader back(in);
        std::string line;
        long lines = 0, bytes = 0;
        while (back.GetLine(line, '\n', 65536, false)) {
            ++lines;
            bytes += static_cast<long>(line.size());
        }
        benchmark::DoNotOptimize(bytes);
        state.counters["lines"] = static_cast<double>(lines);
    }
    state.SetBytesProcessed(state.iterations() * 100L * 1000 * 1000);
}
BENCHMARK(BM_BackReader_100MB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_Tac_100MB(benchmark::State& state) {
    const std::string& path = Log();
    for (auto _ : state) Run("tac", path.c_str(), nullptr);
    state.SetBytesProcessed(state.iterations() * 100L * 1000 * 1000);
}
BENCHMARK(BM_Tac_100MB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_CopyFile_256MB(benchmark::State& state) {
    const std::string& from = Big();
    std::string to = Dir() + "/copy.vux";
    for (auto _ : state) vux_file::CopyFile(from, to);
    state.SetBytesProcessed(state.iterations() * 256L << 20);
}
BENCHMARK(BM_CopyFile_256MB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_Cp_256MB(benchmark::State& state) {
    const std::string& from = Big();
    std::string to = Dir() + "/copy.cp";
    for (auto _ : state) Run("cp", from.c_str(), to.c_str());
    state.SetBytesProcessed(state.iterations() * 256L << 20);
}
BENCHMARK(BM_Cp_256MB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
