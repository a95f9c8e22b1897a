// 10,000 files replaced through CreateFile jobs and then committed (or rolled back), against
// the same replacements written by hand as a temporary file renamed into place.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <libvux/vuxfile.h>
#include <libvux/vuxjob.h>

namespace {

const int kFiles = 10000;
const std::string kContent(100, 'c');

// Where the files go: VUX_BENCH_DIR, else /tmp. (On ext4 a rollback's freeing of the inodes it
// has just made slows the next creations in the kernel; tmpfs shows the library's own cost.)
std::string Place() {
    const char* dir = std::getenv("VUX_BENCH_DIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/vuxjobbench";
}

// A directory of kFiles files, made once per benchmark.
class Files {
public:
    Files() : dir_(Place()) {
        for (int i = 0; i < kFiles; ++i) {
            paths_.push_back(dir_.name() + "/site" + std::to_string(i) + ".conf");
            vux_file::Write(paths_.back(), "old");
        }
    }
    const std::vector<std::string>& paths() const { return paths_; }

private:
    vux_file::TmpDir dir_;
    std::vector<std::string> paths_;
};

void ByHand(const std::string& path) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, kContent.data(), kContent.size()) != static_cast<ssize_t>(kContent.size()) ||
        ::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0)
        std::abort();
}

void BM_Plain_WriteTempThenRename(benchmark::State& state) {
    Files files;
    for (auto _ : state)
        for (const std::string& path : files.paths()) ByHand(path);
    state.SetItemsProcessed(state.iterations() * kFiles);
}

// end: vux_job::Commit or vux_job::Rollback.
void CreateFileJobs(benchmark::State& state, void (*end)()) {
    Files files;
    for (auto _ : state) {
        for (const std::string& path : files.paths()) new vux_job::CreateFile(path, kContent);
        end();
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_Vux_CreateFileJobsThenCommit(benchmark::State& state) {
    CreateFileJobs(state, &vux_job::Commit);
}

void BM_Vux_CreateFileJobsThenRollback(benchmark::State& state) {
    CreateFileJobs(state, &vux_job::Rollback);
}

BENCHMARK(BM_Plain_WriteTempThenRename)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vux_CreateFileJobsThenCommit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vux_CreateFileJobsThenRollback)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
