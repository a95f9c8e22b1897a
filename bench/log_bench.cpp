// Logging against spdlog: a disabled level, a synchronous file line, and a
// line handed to a background writer.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <libvux/vuxlog.h>
#include <libvux/vuxthread.h>

#include "alloc_count.h"

namespace {

namespace fs = std::filesystem;

// A scratch installation directory with one rule file, left when the object goes.
class Scratch {
public:
    explicit Scratch(const std::string& rules) {
        char tmpl[] = "/tmp/vuxlogbench.XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir_ = tmpl;
        old_ = fs::current_path();
        fs::create_directories(dir_ + "/etc");
        std::ofstream(dir_ + "/etc/debug.conf") << rules;
        fs::current_path(dir_);
    }
    ~Scratch() {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    fs::path old_;
};

// The message of an 80-character line.
const std::string kText(80, 'm');
// Rotation is left out: spdlog's basic sink does not rotate either.
const char* const kNoRotation = "SET max_log_size=1000000000000\nSET color=off\n";
// The same fields as a vux line: time, pid and thread, logger, level, message.
const char* const kPattern = "%b %e %H:%M:%S [%P:%t] %n %l %v";

void BM_Vux_CheckDisabled(benchmark::State& state) {
    Scratch scratch("* 3\n");
    vux_log::LoadRules("bench", 3);
    vux_log::Module m("bench");
    const long before = alloccount::allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(m.Check(vux_log::LevelDebug));
    state.counters["allocs/op"] = double(alloccount::allocations.load() - before) / double(state.iterations());
}

// A request thread has a state, which every Check stamps with the time.
void BM_Vux_CheckDisabledWithThreadState(benchmark::State& state) {
    Scratch scratch("* 3\n");
    vux_log::LoadRules("bench", 3);
    vux_log::Module m("bench");
    vux_thread::InitState("bench-request", "benchmark");
    const long before = alloccount::allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(m.Check(vux_log::LevelDebug));
    state.counters["allocs/op"] = double(alloccount::allocations.load() - before) / double(state.iterations());
}

void BM_Spdlog_ShouldLogDisabled(benchmark::State& state) {
    auto logger = spdlog::basic_logger_mt("disabled", "/dev/null");
    logger->set_level(spdlog::level::err);
    const long before = alloccount::allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(logger->should_log(spdlog::level::debug));
    state.counters["allocs/op"] = double(alloccount::allocations.load() - before) / double(state.iterations());
    spdlog::drop("disabled");
}

// A disabled line as code writes it: the answer guards a call, so both sides branch
// (DoNotOptimize of the bare answer lets spdlog's comparison stay branch-free).
void BM_Vux_DisabledLine(benchmark::State& state) {
    Scratch scratch("* 3\n");
    vux_log::LoadRules("bench", 3);
    vux_log::Module m("bench");
    for (auto _ : state) VUX_LOG(m, vux_log::LevelDebug, "%s", kText.c_str());
}

void BM_Spdlog_DisabledLine(benchmark::State& state) {
    auto logger = spdlog::basic_logger_mt("disabled-line", "/dev/null");
    logger->set_level(spdlog::level::err);
    for (auto _ : state) logger->debug("{}", kText);
    spdlog::drop("disabled-line");
}

void VuxLines(benchmark::State& state, const char* storage) {
    Scratch scratch(std::string("* 3\nbench 5\n") + kNoRotation + "SET storage=" + storage + "\n");
    vux_log::Init("bench", 3);
    vux_log::Module m("bench");
    for (auto _ : state)
        if (m.Check(vux_log::LevelInfo)) m.Write(vux_log::LevelInfo, "%s", kText.c_str());
    vux_log::Close();  // the thread storage drains here
    state.SetItemsProcessed(state.iterations());
}

void BM_Vux_FileLine(benchmark::State& state) {
    VuxLines(state, "file");
}

void BM_Vux_ThreadLine(benchmark::State& state) {
    VuxLines(state, "thread");
}

// `same`: lines with the fields of a vux line; else spdlog's default pattern,
// which has no process id (spdlog asks the system for it on every line).
void SpdlogLines(benchmark::State& state, std::shared_ptr<spdlog::logger> logger, bool same = true) {
    if (same) logger->set_pattern(kPattern);
    for (auto _ : state) logger->info("{}", kText);
    logger->flush();
    spdlog::drop(logger->name());
    state.SetItemsProcessed(state.iterations());
}

// spdlog buffers in stdio and flushes when asked: lines of a crashing program may never reach the file.
void BM_Spdlog_BasicFileSinkMt(benchmark::State& state) {
    Scratch scratch("");
    SpdlogLines(state, spdlog::basic_logger_mt("file", scratch.path("spdlog.log")));
}

void BM_Spdlog_BasicFileSinkMtDefaultPattern(benchmark::State& state) {
    Scratch scratch("");
    SpdlogLines(state, spdlog::basic_logger_mt("default", scratch.path("spdlog.log")), false);
}

// Each line in the file when the call returns, as with the vux "file" storage.
void BM_Spdlog_BasicFileSinkMtFlushEachLine(benchmark::State& state) {
    Scratch scratch("");
    auto logger = spdlog::basic_logger_mt("flushed", scratch.path("spdlog.log"));
    logger->flush_on(spdlog::level::trace);
    SpdlogLines(state, logger);
}

void BM_Spdlog_AsyncLogger(benchmark::State& state) {
    Scratch scratch("");
    spdlog::init_thread_pool(8192, 1);
    auto logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("async", scratch.path("spdlog.log"));
    SpdlogLines(state, logger);
    spdlog::shutdown();  // drains the queue
}

void BM_Spdlog_AsyncLoggerDefaultPattern(benchmark::State& state) {
    Scratch scratch("");
    spdlog::init_thread_pool(8192, 1);
    auto logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("async2", scratch.path("spdlog.log"));
    SpdlogLines(state, logger, false);
    spdlog::shutdown();
}

}  // namespace

BENCHMARK(BM_Vux_CheckDisabled);
BENCHMARK(BM_Spdlog_ShouldLogDisabled);
BENCHMARK(BM_Vux_CheckDisabledWithThreadState)->Threads(1);
BENCHMARK(BM_Vux_DisabledLine);
BENCHMARK(BM_Spdlog_DisabledLine);
BENCHMARK(BM_Vux_FileLine)->UseRealTime();
BENCHMARK(BM_Spdlog_BasicFileSinkMt)->UseRealTime();
BENCHMARK(BM_Spdlog_BasicFileSinkMtDefaultPattern)->UseRealTime();
BENCHMARK(BM_Spdlog_BasicFileSinkMtFlushEachLine)->UseRealTime();
BENCHMARK(BM_Vux_ThreadLine)->UseRealTime();
BENCHMARK(BM_Spdlog_AsyncLogger)->UseRealTime();
BENCHMARK(BM_Spdlog_AsyncLoggerDefaultPattern)->UseRealTime();

BENCHMARK_MAIN();
