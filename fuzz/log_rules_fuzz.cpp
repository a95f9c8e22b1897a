// Rule files: any text loads without crashing, and every module then answers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <libvux/vuxlog.h>
#include <libvux/vuxthread.h>

namespace {

const char* const kModules[] = {"libvux", "rpc", "core", "", "x", "a.b"};
// Rules are read relative to the working directory, which is ours only during
// a run: libFuzzer reads and writes the corpus by the paths it was given.
int g_scratch = -1, g_home = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/log_rules_fuzz.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    g_scratch = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_scratch < 0 || g_home < 0 || mkdirat(g_scratch, "etc", 0755) != 0) std::abort();
    // Conditions read the thread's information.
    vux_thread::InitState("fuzz", "fuzzing");
    vux_thread::SetInfo("a", "1");
    vux_thread::SetInfo("user", "admin");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fchdir(g_scratch) != 0) std::abort();
    int fd = open("etc/debug.conf", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) std::abort();
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fd);
    StringList problems;
    vux_log::LoadRules("fuzz", 3, &problems);
    for (const char* name : kModules) {
        vux_log::Module m(name);
        for (int level = -1; level <= 10; ++level) {
            const bool yes = m.Check(level);
            // A line is written only when some rule decided so.
            if (yes && m.Explain(level).empty()) std::abort();
        }
    }
    // Loading the same text again must keep the published rules as they are.
    vux_log::LoadRules("fuzz", 3, &problems);
    if (fchdir(g_home) != 0) std::abort();
    return 0;
}
