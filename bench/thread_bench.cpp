// Owner-aware locking against the standard recursive mutex, uncontended.
#include <benchmark/benchmark.h>

#include <mutex>

#include <libvux/vuxthread.h>

namespace {

void BM_Vux_SafeSection(benchmark::State& state) {
    vux_thread::SafeLock lock;
    for (auto _ : state) {
        vux_thread::SafeSection section(lock);
        benchmark::DoNotOptimize(section.lock());
    }
}

void BM_Std_RecursiveMutex(benchmark::State& state) {
    std::recursive_mutex m;
    for (auto _ : state) {
        std::lock_guard<std::recursive_mutex> guard(m);
        benchmark::DoNotOptimize(&m);
    }
}

// The owner entering again: SafeSection takes nothing, the recursive mutex counts.
void BM_Vux_SafeSectionReentry(benchmark::State& state) {
    vux_thread::SafeLock lock;
    vux_thread::SafeSection outer(lock);
    for (auto _ : state) {
        vux_thread::SafeSection inner(lock);
        benchmark::DoNotOptimize(inner.lock());
    }
}

void BM_Std_RecursiveMutexReentry(benchmark::State& state) {
    std::recursive_mutex m;
    std::lock_guard<std::recursive_mutex> outer(m);
    for (auto _ : state) {
        std::lock_guard<std::recursive_mutex> inner(m);
        benchmark::DoNotOptimize(&m);
    }
}

}  // namespace

BENCHMARK(BM_Vux_SafeSection);
BENCHMARK(BM_Std_RecursiveMutex);
BENCHMARK(BM_Vux_SafeSectionReentry);
BENCHMARK(BM_Std_RecursiveMutexReentry);

BENCHMARK_MAIN();
