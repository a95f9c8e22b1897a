// Starting /bin/true against posix_spawn + waitpid, and capturing 100 MB of a
// child's output against reading the pipe from cat directly, in the same run.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <libvux/vuxfile.h>
#include <libvux/vuxproc.h>

extern char** environ;

namespace {

const long kSize = 100L * 1000 * 1000;

const std::string& File100MB() {
    static vux_file::TmpDir dir("/tmp/vuxbench");
    static const std::string path = [] {
        std::string p = dir.name() + "/100mb";
        std::string chunk(1 << 20, 'x');
        for (std::size_t i = 0; i < chunk.size(); i += 64) chunk[i] = '\n';
        FILE* f = std::fopen(p.c_str(), "w");
        for (long left = kSize; left > 0; left -= static_cast<long>(chunk.size()))
            std::fwrite(chunk.data(), 1, std::min<long>(left, static_cast<long>(chunk.size())), f);
        std::fclose(f);
        return p;
    }();
    return path;
}

void BM_Execute_True(benchmark::State& state) {
    const std::vector<std::string> args{"/bin/true"};
    for (auto _ : state) {
        if (vux_proc::Execute(args, 0).Result() != 0) std::abort();
    }
}
BENCHMARK(BM_Execute_True)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2);

void BM_PosixSpawn_True(benchmark::State& state) {
    char prog[] = "/bin/true";
    char* argv[] = {prog, nullptr};
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawn(&pid, prog, nullptr, nullptr, argv, environ) != 0) std::abort();
        int st = 0;
        waitpid(pid, &st, 0);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) std::abort();
    }
}
BENCHMARK(BM_PosixSpawn_True)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2);

void BM_Execute_Capture100MB(benchmark::State& state) {
    const std::vector<std::string> args{"cat", File100MB()};
    for (auto _ : state) {
        vux_proc::Execute cat(args, vux_proc::Execute::PipeOut);
        std::string out = cat.Str();
        if (static_cast<long>(out.size()) != kSize || cat.Result() != 0) std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_Execute_Capture100MB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_CatPipe_Read100MB(benchmark::State& state) {
    std::string path = File100MB();
    char prog[] = "cat";
    char* argv[] = {prog, &path[0], nullptr};
    for (auto _ : state) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) std::abort();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        pid_t pid;
        if (posix_spawnp(&pid, prog, &fa, nullptr, argv, environ) != 0) std::abort();
        posix_spawn_file_actions_destroy(&fa);
        close(p[1]);
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
        close(p[0]);
        int st = 0;
        waitpid(pid, &st, 0);
        if (static_cast<long>(out.size()) != kSize || !WIFEXITED(st) || WEXITSTATUS(st) != 0) std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_CatPipe_Read100MB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
