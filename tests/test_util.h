// Shared helpers for the test suites.
#ifndef LIBVUX_TESTS_TEST_UTIL_H
#define LIBVUX_TESTS_TEST_UTIL_H

#include <string>

#include <libvux/vuxerr.h>

namespace testutil {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Changes the working directory for a scope (the panel's programs run in their
// installation directory, so several areas read paths relative to it).
class ChDir {
public:
    explicit ChDir(const std::string& dir);
    ~ChDir();

private:
    std::string old_;
};

// Why a test that runs something as an unprivileged user cannot run here, or "" when it can:
// a root directory that others may not search (a chroot unpacked under a 0700 directory)
// stops every path such a user looks up.
std::string UnprivilegedPathsBlocked();

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
// Deterministic pseudo-random bytes.
std::string RandomBytes(std::size_t n, unsigned seed);

// The description of the assertion f raises, or "(no assertion)".
template <class F>
std::string AssertText(F f) {
    try {
        f();
    } catch (const vux_err::AssertError& e) {
        return e.desc();
    }
    return "(no assertion)";
}

}  // namespace testutil

#endif
