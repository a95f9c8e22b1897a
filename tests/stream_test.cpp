#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include <libvux/vuxstream.h>
#include <libvux/vuxthread.h>

using vux_stream::Stream;

namespace {

std::set<std::string> OpenFds() {
    std::set<std::string> out;
    DIR* d = opendir("/proc/self/fd");
    int self = dirfd(d);
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && std::to_string(self) != e->d_name) out.insert(e->d_name);
    closedir(d);
    return out;
}

std::vector<std::string> Forward(const std::string& data) {
    std::vector<std::string> v;
    size_t p = 0;
    while (p <= data.size()) {
        size_t q = data.find('\n', p);
        if (q == std::string::npos) q = data.size();
        v.push_back(data.substr(p, q - p));
        p = q + 1;
    }
    return v;
}

std::vector<std::string> Backward(const std::string& path) {
    vux_stream::InStream in(path, std::ios_base::in);
    vux_stream::BackReader br(in);
    std::vector<std::string> v;
    std::string line;
    while (br.GetLine(line, '\n', 1 << 20, false)) v.push_back(line);
    std::reverse(v.begin(), v.end());
    return v;
}

}  // namespace

TEST(ResHandle, OwnershipAndComparison) {
    ResHandle empty(-1);
    EXPECT_FALSE(empty);
    EXPECT_TRUE(empty == -1);
    EXPECT_EQ(empty.fd(), -1);
    EXPECT_THROW((void)static_cast<int>(empty), std::invalid_argument);
    EXPECT_TRUE(static_cast<bool>(ResHandle(-5)));

    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ::close(p[1]);
    ResHandle a(p[0]);
    ResHandle b(a);
    EXPECT_TRUE(a == b);
    a.Close();
    EXPECT_NE(fcntl(p[0], F_GETFD), -1);
    b.Close();
    EXPECT_EQ(fcntl(p[0], F_GETFD), -1);
}

TEST(Stream, FileWriteReadAndOverwrite) {
    testutil::TempDir dir;
    std::string f = dir / "a";
    testutil::WriteFile(f, "0123456789");
    {
        vux_stream::OutStream out(f, std::ios_base::out);
        ASSERT_TRUE(out.IsOpen());
        out << "abc";
        out.flush();
        EXPECT_TRUE(out.good());
    }
    EXPECT_EQ(testutil::ReadFile(f), "abc3456789");
    { vux_stream::OutStream out(f, std::ios_base::out | std::ios_base::trunc); }
    EXPECT_EQ(testutil::ReadFile(f), "");
    vux_stream::InStream missing(dir / "nope", std::ios_base::in);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_TRUE(missing.bad());
}

TEST(Stream, DevFullIsAnError) {
    vux_stream::OutStream out("/dev/full", std::ios_base::out);
    ASSERT_TRUE(out.IsOpen());
    out << std::string(10000, 'x');
    out.flush();
    EXPECT_TRUE(out.bad());
}

TEST(Stream, PipePartialWritesAndBlockingRefill) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    std::string data = testutil::RandomBytes(200000, 7);
    std::thread writer([&] {
        Stream out(Stream::Desc(ResHandle(p[1])), std::ios_base::out);
        out.write(data.data(), data.size());
        out.flush();
        EXPECT_TRUE(out.good());
    });
    Stream in(Stream::Desc(ResHandle(p[0])), std::ios_base::in);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    writer.join();
    EXPECT_EQ(got, data);
}

static void NoOp(int) {}

TEST(Stream, ReadSurvivesEintr) {
    struct sigaction sa {};
    sa.sa_handler = NoOp;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    pthread_t reader_thread = pthread_self();
    std::thread writer([&] {
        usleep(100000);
        pthread_kill(reader_thread, SIGUSR1);
        usleep(100000);
        pthread_kill(reader_thread, SIGUSR1);
        ASSERT_EQ(::write(p[1], "hello\n", 6), 6);
        ::close(p[1]);
    });
    Stream in(Stream::Desc(ResHandle(p[0])), std::ios_base::in);
    std::string line;
    EXPECT_TRUE(vux_stream::GetLine(in, line, '\n', false));
    EXPECT_EQ(line, "hello");
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(GetLine, SkipsEmptyAndDropsUnterminated) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "f", "a\n\nb");
    vux_stream::InStream in(dir / "f", std::ios_base::in);
    std::string line;
    EXPECT_TRUE(vux_stream::GetLine(in, line, '\n', true));
    EXPECT_EQ(line, "a");
    EXPECT_FALSE(vux_stream::GetLine(in, line, '\n', true));
}

TEST(BackReader, ReverseOfForward) {
    testutil::TempDir dir;
    std::string longline(5000, 'L');
    std::vector<std::string> inputs = {"a\nb\n", "a\nb", "one\r\ntwo\r\n\r\nthree", longline + "\nx\n" + longline,
                                       "\n\n", "single"};
    for (const auto& data : inputs) {
        testutil::WriteFile(dir / "f", data);
        EXPECT_EQ(Backward(dir / "f"), Forward(data)) << data.substr(0, 20);
    }
    testutil::WriteFile(dir / "f", "a\nb\n");
    vux_stream::InStream in(dir / "f", std::ios_base::in);
    vux_stream::BackReader br(in);
    std::string line;
    ASSERT_TRUE(br.GetLine(line, '\n', 100, true));
    EXPECT_EQ(line, "b");
    ASSERT_TRUE(br.GetLine(line, '\n', 100, true));
    EXPECT_EQ(line, "a");
    EXPECT_FALSE(br.GetLine(line, '\n', 100, true));
    EXPECT_TRUE(br.GetState() & 1);
}

TEST(BackReader, SizeLimit) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "f", "aaaa\nbbbb\ncccc\n");
    vux_stream::InStream in(dir / "f", std::ios_base::in);
    vux_stream::BackReader br(in);
    br.SetFileSizeLimit(7);
    std::string line, all;
    while (br.GetLine(line, '\n', 100, true)) all += line + "|";
    EXPECT_EQ(all, "cccc|b|");
    EXPECT_TRUE(br.GetState() & 4);
}

TEST(FindFirst, Bisection) {
    testutil::TempDir dir;
    std::string data;
    for (int i = 0; i < 2000; i += 2) data += std::to_string(100000 + i) + "\n";
    testutil::WriteFile(dir / "f", data);
    vux_stream::InStream in(dir / "f", std::ios_base::in);
    auto find = [&](int key) {
        return vux_stream::FindFirst(in, [key](const std::string& l) { return std::stoi(l) - key; });
    };
    auto r = find(100501);
    EXPECT_EQ(r.line, "100502");
    EXPECT_GT(r.code, 0);
    r = find(100000);
    EXPECT_EQ(r.line, "100000");
    EXPECT_EQ(r.code, 0);
    r = find(200000);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.line, "");
    testutil::WriteFile(dir / "e", "");
    vux_stream::InStream e(dir / "e", std::ios_base::in);
    EXPECT_EQ(vux_stream::FindFirst(e, [](const std::string&) { return 0; }).code, -1);
}

TEST(Stream, NoLeaksAndCloseOnExec) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "f", "x\n");
    auto before = OpenFds();
    for (int i = 0; i < 200; ++i) {
        vux_stream::InStream in(dir / "f", std::ios_base::in);
        vux_stream::OutStream out(dir / "g", std::ios_base::out | std::ios_base::app);
        ASSERT_TRUE(in.IsOpen() && out.IsOpen());
        for (const auto& fd : OpenFds()) {
            if (!before.count(fd)) {
                EXPECT_TRUE(fcntl(std::stoi(fd), F_GETFD) & FD_CLOEXEC) << fd;
            }
        }
        if (i % 2) in.Close();
    }
    EXPECT_EQ(OpenFds(), before);
}

TEST(Stream, SocketsBothWaysAndPeerClose) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    // A small send buffer forces many partial sends.
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string data = testutil::RandomBytes(3 << 20, 11);
    std::string reply;
    std::thread peer([&] {
        Stream s{Stream::Socket(ResHandle(sv[1]))};
        std::string got(data.size(), '\0');
        s.read(&got[0], got.size());
        EXPECT_EQ(s.gcount(), static_cast<std::streamsize>(data.size()));
        EXPECT_TRUE(got == data);
        s << "thanks\n";
        s.flush();
    });
    {
        Stream s{Stream::Socket(ResHandle(sv[0]))};
        s.write(data.data(), data.size());
        s.flush();
        EXPECT_TRUE(s.good());
        EXPECT_TRUE(vux_stream::GetLine(s, reply, '\n', false));
        peer.join();
        // The peer has gone: the next read is the end, not a hang or an error.
        std::string more;
        EXPECT_FALSE(vux_stream::GetLine(s, more, '\n', false));
        EXPECT_TRUE(s.eof());
    }
    EXPECT_EQ(reply, "thanks");
}

TEST(Stream, SeekingReadsAndOverwritesInPlace) {
    testutil::TempDir dir;
    std::string data = testutil::RandomBytes(20000, 5);
    testutil::WriteFile(dir / "f", data);
    vux_stream::InStream in(dir / "f");
    char c;
    for (long pos : {19999L, 0L, 4095L, 4096L, 12345L, 1L}) {
        in.seekg(pos);
        ASSERT_TRUE(in.get(c));
        EXPECT_EQ(c, data[pos]) << pos;
        EXPECT_EQ(static_cast<long>(in.tellg()), pos + 1);
    }
    // Relative moves within and beyond the buffered block.
    in.seekg(100);
    in.get(c);
    in.seekg(-50, std::ios_base::cur);
    ASSERT_TRUE(in.get(c));
    EXPECT_EQ(c, data[51]);
    in.seekg(10000, std::ios_base::cur);
    ASSERT_TRUE(in.get(c));
    EXPECT_EQ(c, data[10052]);
    in.seekg(-1, std::ios_base::end);
    ASSERT_TRUE(in.get(c));
    EXPECT_EQ(c, data.back());
    EXPECT_FALSE(in.get(c));

    {
        vux_stream::OutStream out(dir / "f", std::ios_base::out);
        out.seekp(5000);
        out << "XYZ";
        out.seekp(0, std::ios_base::end);
        out << "END";
    }
    std::string expect = data;
    expect.replace(5000, 3, "XYZ");
    expect += "END";
    EXPECT_TRUE(testutil::ReadFile(dir / "f") == expect);
}

TEST(BackReader, LinesLongerThanAnyBuffer) {
    testutil::TempDir dir;
    std::string huge(300000, 'h');
    huge[150000] = '\r';
    std::string data = "first\r\n" + huge + "\r\n" + std::string(70000, 'y') + "\nlast";
    testutil::WriteFile(dir / "f", data);
    EXPECT_EQ(Backward(dir / "f"), Forward(data));
    testutil::WriteFile(dir / "f", data + "\n");
    EXPECT_EQ(Backward(dir / "f"), Forward(data + "\n"));
    // Lines over max_len are cut to their first max_len bytes and flagged.
    vux_stream::InStream in(dir / "f");
    vux_stream::BackReader br(in);
    std::string line;
    ASSERT_TRUE(br.GetLine(line, '\n', 10, true));
    EXPECT_EQ(line, "last");
    ASSERT_TRUE(br.GetLine(line, '\n', 10, true));
    EXPECT_EQ(line, std::string(10, 'y'));
    EXPECT_TRUE(br.GetState() & 2);
}

// Writing reports a thread state, where a requested abort fires; a flush in a
// destructor must not let it out, and must still write everything.
TEST(Stream, DestructorFlushesDespiteAnAbortRequest) {
    testutil::TempDir dir;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const std::string path = dir / "flushed";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string wrong;
            std::thread t([&] {
                vux_thread::InitState("abort-in-flush", "s");
                {
                    vux_stream::OutStream out(path, std::ios::out | std::ios::trunc);
                    out << "buffered";
                    Stream sock(Stream::Socket(ResHandle(sv[0])), std::ios::in | std::ios::out);
                    sock << "to the peer";
                    vux_thread::FailIt("abort-in-flush");
                }
                try {
                    vux_thread::SetStateC("after");
                    wrong += "no abort at the next report; ";
                } catch (const vux_thread::Aborted&) {
                }
            });
            t.join();
            if (testutil::ReadFile(path) != "buffered") wrong += "the file stream was not flushed; ";
            char buf[64];
            const ssize_t n = ::read(sv[1], buf, sizeof(buf));
            if (n < 0 || std::string(buf, static_cast<std::size_t>(n)) != "to the peer")
                wrong += "the socket stream was not flushed; ";
            std::fprintf(stderr, "%s\n", wrong.c_str());
            std::fflush(stderr);
            std::_Exit(wrong.empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    ::close(sv[1]);
    ::close(sv[0]);
}
