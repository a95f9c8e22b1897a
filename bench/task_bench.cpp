// 1,000 deferred long-task starts committed in one transaction, against writing the same
// descriptions and forking and executing the runner by hand, in the same run. Both launch
// the real runner on a task of /bin/true; the time waited for the tasks to end is not counted.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <libvux/vuxfile.h>
#include <libvux/vuxjob.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxtask.h>

extern char** environ;

namespace {

const int kStarts = 1000;

// A scratch installation directory with the runner, entered for the whole run.
void EnterPanel() {
    static vux_file::TmpDir dir("/tmp/vuxbench");
    static const bool entered = [] {
        namespace fs = std::filesystem;
        fs::current_path(dir.name());
        fs::create_directories("sbin");
        fs::create_directories("tmp");
        fs::create_symlink(VUX_LT_WRAPPER, "sbin/lt_wrapper");
        return true;
    }();
    (void)entered;
}

vux_task::LongTask Task(int i) {
    vux_task::LongTask t("/bin/true", std::to_string(i), "bench");
    t.SetParam("x");
    return t;
}

// Waits for every runner of the round to record its end, then clears the queue.
void Settle(benchmark::State& state, const std::vector<pid_t>& runners = {}) {
    state.PauseTiming();
    for (pid_t pid : runners) ::waitpid(pid, nullptr, 0);
    for (int i = 0; i < kStarts; ++i) {
        const std::string path = vux_task::TaskInfoFile("/bin/true", std::to_string(i), "bench");
        while (vux_file::ReadE(path).find("\nenddate=") == std::string::npos) vux_proc::Sleep(5);
    }
    std::filesystem::remove_all("var/run/bench");
    state.ResumeTiming();
}

void BM_LongTask_DeferredCommit(benchmark::State& state) {
    EnterPanel();
    for (auto _ : state) {
        for (int i = 0; i < kStarts; ++i) Task(i).Start(1 | 2);
        vux_job::Commit();
        Settle(state);
    }
    state.SetItemsProcessed(state.iterations() * kStarts);
}
BENCHMARK(BM_LongTask_DeferredCommit)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ForkExecRunner(benchmark::State& state) {
    EnterPanel();
    for (auto _ : state) {
        std::vector<pid_t> pids;
        for (int i = 0; i < kStarts; ++i) {
            const vux_task::LongTask t = Task(i);
            std::string content = "tmp/bench." + std::to_string(i);
            vux_file::Write(content, t.GetContent());
            std::string runner = "sbin/lt_wrapper", desc = vux_task::TaskInfoFile("/bin/true", t.id(), "bench"),
                        option = "--reenter";
            char* argv[] = {runner.data(), desc.data(), option.data(), content.data(), nullptr};
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::execve(argv[0], argv, environ);
                ::_exit(127);
            }
            pids.push_back(pid);
        }
        Settle(state, pids);
    }
    state.SetItemsProcessed(state.iterations() * kStarts);
}
BENCHMARK(BM_ForkExecRunner)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
