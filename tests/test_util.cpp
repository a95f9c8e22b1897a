#include "test_util.h"
#include "peers/server.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testutil {

TempDir::TempDir() {
    char tmpl[] = "/tmp/vuxtest.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ChDir::ChDir(const std::string& dir) {
    char buf[4096];
    if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd");
    old_ = buf;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir " + dir);
}

ChDir::~ChDir() {
    if (chdir(old_.c_str()) != 0) std::abort();
}

std::set<int> OpenFds() {
    std::set<int> out;
    DIR* d = opendir("/proc/self/fd");
    if (!d) throw std::runtime_error("opendir /proc/self/fd");
    const int self = dirfd(d);
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && atoi(e->d_name) != self) out.insert(atoi(e->d_name));
    closedir(d);
    return out;
}

std::string UnprivilegedPathsBlocked() {
    return peers::RootClosedToOthers();
}

void ExpectPairs(std::initializer_list<std::pair<std::string, std::string>> pairs) {
    std::size_t i = 0;
    for (const auto& [got, want] : pairs) EXPECT_EQ(got, want) << "pair " << i++;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) throw std::runtime_error("write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(gen() & 0xFF);
    return out;
}

std::string ReadToEnd(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    return text;
}

std::string ShellOutput(const std::string& command, int* code) {
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) throw std::runtime_error("popen: " + command);
    std::string out = ReadToEnd(::fileno(p));
    const int status = ::pclose(p);
    if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

}  // namespace testutil

// The one list of what ThreadSanitizer may let pass in the test binary.
#if defined(__SANITIZE_THREAD__)
// glibc guards its time-zone state (mktime, localtime_r) with a lock of its own, which
// ThreadSanitizer cannot see; only that frame is excused.
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }
#endif
