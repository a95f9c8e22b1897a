// `vux cloud` against s3rver: the token from a file, put from standard input and get to standard
// output byte for byte, and a 200 MiB upload whose memory stays flat.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include <libvux/vuxhash.h>
#include <libvux/vuxstr.h>

#include "peers/s3rver.h"
#include "peers/standin.h"
#include "test_util.h"

namespace {

using peers::S3rver;

struct Ran {
    int status = -1;
    std::string out;
    long maxrss_kib = 0;
};

// Runs the tool with `feed` writing its standard input; collects standard output (hashed when
// `hash`, so that large objects need no memory here either) and the peak resident size.
Ran Tool(const std::vector<std::string>& args, const std::function<void(int)>& feed, bool hash = false) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
        std::vector<const char*> argv{VUX_TOOL};
        for (const std::string& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        ::execv(VUX_TOOL, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    std::thread writer([&] {
        if (feed) feed(in[1]);
        ::close(in[1]);
    });
    Ran r;
    vux_hash::Hash h(vux_hash::HashSHA256);
    char buf[65536];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) {
        if (hash)
            h.Update(buf, static_cast<std::size_t>(n));
        else
            r.out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    writer.join();
    int status = 0;
    rusage use{};
    ::wait4(pid, &status, 0, &use);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.maxrss_kib = use.ru_maxrss;
    if (hash) r.out = str::hex::Encode(h.Str());
    return r;
}

void WriteAll(int fd, const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

class CloudTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (!S3rver::Missing().empty()) GTEST_SKIP() << S3rver::Missing();
        server_ = std::make_unique<S3rver>();
        testutil::WriteFile(tmp_ / "token", server_->Token(true) + "\n");
    }
    std::vector<std::string> Cmd(std::initializer_list<std::string> words) {
        std::vector<std::string> v{"cloud"};
        v.insert(v.end(), words);
        v.push_back("--token-file");
        v.push_back(tmp_ / "token");
        return v;
    }
    testutil::TempDir tmp_;
    std::unique_ptr<S3rver> server_;
};

TEST_F(CloudTool, EveryOperation) {
    const std::string data = testutil::RandomBytes(300000, 11);
    EXPECT_EQ(Tool(Cmd({"put", "docs/a b.bin"}), [&](int fd) { WriteAll(fd, data); }).status, 0);
    EXPECT_EQ(Tool(Cmd({"mkdir", "docs/sub"}), nullptr).status, 0);
    const Ran got = Tool(Cmd({"get", "docs/a b.bin"}), nullptr);
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(got.out == data);
    EXPECT_EQ(Tool(Cmd({"ls", "docs/"}), nullptr).out, "docs/a b.bin\ndocs/sub/\n");
    EXPECT_EQ(Tool(Cmd({"rm", "docs/a b.bin"}), nullptr).status, 0);
    EXPECT_EQ(Tool(Cmd({"ls", "docs/"}), nullptr).out, "docs/sub/\n");
    EXPECT_EQ(Tool(Cmd({"rmdir", "docs"}), nullptr).status, 0);
    EXPECT_EQ(Tool(Cmd({"ls"}), nullptr).out, "");
    // A missing object is an error, and nothing of the error document reaches standard output.
    const Ran missing = Tool(Cmd({"get", "docs/a b.bin"}), nullptr);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    // No token file, an unknown service: usage errors.
    EXPECT_EQ(Tool({"cloud", "ls"}, nullptr).status, 2);
    EXPECT_EQ(Tool(Cmd({"ls", "--service", "ftp"}), nullptr).status, 2);
}

// 200 MiB through a pipe: the tool's peak resident size stays far below the object's size.
TEST_F(CloudTool, LargeStreamInFlatMemory) {
    const std::string block = testutil::RandomBytes(1 << 20, 5);
    vux_hash::Hash sent(vux_hash::HashSHA256);
    const Ran put = Tool(Cmd({"put", "big.bin"}), [&](int fd) {
        for (int i = 0; i < 200; ++i) {
            std::string b = block;
            b[0] = static_cast<char>(i);
            sent.Update(b);
            WriteAll(fd, b);
        }
    });
    EXPECT_EQ(put.status, 0);
    const Ran got = Tool(Cmd({"get", "big.bin"}), nullptr, true);
    EXPECT_EQ(got.out, str::hex::Encode(sent.Str()));
    std::cout << "peak resident size: put " << put.maxrss_kib << " KiB, get " << got.maxrss_kib << " KiB\n";
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer's quarantine keeps freed memory resident on purpose; the plain build judges.
    EXPECT_LT(put.maxrss_kib, 64 * 1024);
    EXPECT_LT(got.maxrss_kib, 64 * 1024);
#endif
}

// The other services through the same command, each against its stand-in named in
// etc/endpoints.conf of the working directory.
TEST(CloudToolServices, PutGetRemoveThroughEachStandIn) {
    struct Service {
        const char* name;
        const char* script;
        const char* token;
        std::vector<std::string> keys;
    };
    const std::vector<Service> services = {
        {"dropbox", "dropbox_standin.py", "dbx-token", {"dropbox_api", "dropbox_content"}},
        {"googledrive", "googledrive_standin.py", "gd-token", {"googledrive_api", "googledrive_upload", "google_oauth_token"}},
        {"yandex", "yandex_standin.py", "good-token", {"yandex_disk", "yandex_oauth"}},
    };
    const std::string data = testutil::RandomBytes(70000, 23);
    for (const Service& s : services) {
        SCOPED_TRACE(s.name);
        peers::StandIn standin(s.script);
        testutil::TempDir dir;
        std::string conf;
        for (const std::string& key : s.keys) conf += key + " " + standin.Url() + "\n";
        testutil::WriteFile(dir / "etc/endpoints.conf", conf);
        testutil::WriteFile(dir / "token", std::string(s.token) + "\n");
        testutil::ChDir cd(dir.path());
        const auto cmd = [&](std::initializer_list<std::string> words) {
            std::vector<std::string> v{"cloud", "--service", s.name, "--token-file", dir / "token"};
            v.insert(v.end(), words);
            return v;
        };
        // WebDAV wants the folder first; the others take it as it comes.
        ASSERT_EQ(Tool(cmd({"mkdir", "backups"}), nullptr).status, 0);
        ASSERT_EQ(Tool(cmd({"put", "backups/day 1.bin"}), [&](int fd) { WriteAll(fd, data); }).status, 0);
        const Ran got = Tool(cmd({"get", "backups/day 1.bin"}), nullptr);
        EXPECT_EQ(got.status, 0);
        EXPECT_TRUE(got.out == data);
        EXPECT_EQ(Tool(cmd({"rm", "backups/day 1.bin"}), nullptr).status, 0);
        const Ran gone = Tool(cmd({"get", "backups/day 1.bin"}), nullptr);
        EXPECT_EQ(gone.status, 1);
        EXPECT_EQ(gone.out, "");
        EXPECT_EQ(Tool(cmd({"ls"}), nullptr).status, 1);
    }
}

}  // namespace
