// Shared helpers for the test suites.
#ifndef LIBVUX_TESTS_TEST_UTIL_H
#define LIBVUX_TESTS_TEST_UTIL_H

#include <initializer_list>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include <gtest/gtest.h>

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

// Each {got, want} pair is equal; a failure names the pair by its place in the list.
void ExpectPairs(std::initializer_list<std::pair<std::string, std::string>> pairs);

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
// Deterministic pseudo-random bytes.
std::string RandomBytes(std::size_t n, unsigned seed);

// The error of class E that f throws; throws std::runtime_error (failing the test) when it
// throws none.
template <class E, class F>
E Catch(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    throw std::runtime_error("no exception");
}

inline std::string DescribeError(const vux_err::Error& e, bool with_value) {
    std::string r = e.type() + "/" + e.object();
    if (with_value) r += "/" + e.value();
    if (e.xml().Str().find("report=\"yes\"") != std::string::npos) r += "/report";
    return r;
}

// "type/object/value" of the error f throws, with "/report" when it is marked as one, or
// "no error". E narrows the class, so an error of another class is not caught.
template <class E = vux_err::Error, class F>
std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return DescribeError(e, true);
    }
    return "no error";
}

// The same without the value, for errors whose value is beside the point.
template <class E = vux_err::Error, class F>
std::string ErrorKindOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return DescribeError(e, false);
    }
    return "no error";
}

// The description of the assertion f raises, or "(no assertion)".
template <class F>
std::string AssertText(F&& f) {
    try {
        f();
    } catch (const vux_err::AssertError& e) {
        return e.desc();
    }
    return "(no assertion)";
}

// "file:line: description" of the assertion f raises, or "(no assertion)": where a caller's
// report of the assertion points matters too.
template <class F>
std::string AssertAt(F&& f) {
    try {
        f();
    } catch (const vux_err::AssertError& e) {
        return std::string(e.file()) + ":" + std::to_string(e.line()) + ": " + e.desc();
    }
    return "(no assertion)";
}

// f raises an assertion with that description from that source file ("vuxxml_unix").
template <class F>
void ExpectAssert(F&& f, const std::string& desc, const std::string& file) {
    try {
        f();
        ADD_FAILURE() << "no assertion, expected: " << desc;
    } catch (const vux_err::AssertError& e) {
        EXPECT_EQ(e.desc(), desc);
        EXPECT_EQ(std::string(e.file()), file);
    }
}

// The descriptors open in this process now.
std::set<int> OpenFds();

// What fd gives until its end (a pipe whose writers have all closed it); fd stays open.
std::string ReadToEnd(int fd);

// What a shell command writes to standard output and error; its exit code in *code.
std::string ShellOutput(const std::string& command, int* code);

}  // namespace testutil

#endif
