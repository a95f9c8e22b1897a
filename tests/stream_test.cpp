#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include <libvux/vuxstream.h>
#include <libvux/vuxthread.h>

using vux_stream::Stream;

namespace {

// The lines a reader splitting at every newline would give, each followed by '|'.
std::string Forward(const std::string& data) {
    std::string out;
    for (std::size_t p = 0, q; p <= data.size(); p = q + 1) {
        q = std::min(data.find('\n', p), data.size());
        out += data.substr(p, q - p) + "|";
    }
    return out;
}

// The lines BackReader gives, put back in file order, each followed by '|', then "state" and its bits.
std::string Backward(const std::string& path, std::size_t max_len = 1 << 20, bool skip_empty = false, long limit = 0) {
    vux_stream::InStream in(path, std::ios_base::in);
    vux_stream::BackReader br(in);
    if (limit) br.SetFileSizeLimit(limit);
    std::string out, line;
    while (br.GetLine(line, '\n', max_len, skip_empty)) out = line + "|" + out;
    return out + "state " + std::to_string(br.GetState());
}

std::pair<int, int> Pipe() {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    return {p[0], p[1]};
}

void NoOp(int) {}

}  // namespace

TEST(ResHandle, OwnershipAndComparison) {
    ResHandle empty(-1);
    EXPECT_FALSE(empty);
    EXPECT_TRUE(empty == -1);
    EXPECT_EQ(empty.fd(), -1);
    EXPECT_STREQ(testutil::Catch<std::invalid_argument>([&] { (void)static_cast<int>(empty); }).what(),
                 "INVALID HANDLE");
    EXPECT_TRUE(static_cast<bool>(ResHandle(-5)));

    auto [r, w] = Pipe();
    ::close(w);
    ResHandle a(r);
    ResHandle b(a);
    EXPECT_TRUE(a == b);
    a.Close();
    EXPECT_NE(fcntl(r, F_GETFD), -1);
    b.Close();
    EXPECT_EQ(fcntl(r, F_GETFD), -1);
}

TEST(Stream, FileWriteReadSeekAndOverwrite) {
    testutil::TempDir dir;
    const std::string f = dir / "a";
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
    vux_stream::OutStream full("/dev/full", std::ios_base::out);
    ASSERT_TRUE(full.IsOpen());
    full << std::string(10000, 'x');
    full.flush();
    EXPECT_TRUE(full.bad()) << "a short write is an error";

    const std::string data = testutil::RandomBytes(20000, 5);
    testutil::WriteFile(f, data);
    vux_stream::InStream in(f);
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
    const std::pair<long, std::ios_base::seekdir> moves[] = {{-50, std::ios_base::cur}, {10000, std::ios_base::cur},
                                                             {-1, std::ios_base::end}};
    const char want[] = {data[51], data[10052], data.back()};
    for (int i = 0; i < 3; ++i) {
        in.seekg(moves[i].first, moves[i].second);
        ASSERT_TRUE(in.get(c));
        EXPECT_EQ(c, want[i]) << "move " << i;
    }
    EXPECT_FALSE(in.get(c));
    {
        vux_stream::OutStream out(f, std::ios_base::out);
        out.seekp(5000);
        out << "XYZ";
        out.seekp(0, std::ios_base::end);
        out << "END";
    }
    EXPECT_TRUE(testutil::ReadFile(f) == data.substr(0, 5000) + "XYZ" + data.substr(5003) + "END");
}

TEST(Stream, PipePartialWritesAndBlockingRefill) {
    auto [r, w] = Pipe();
    const std::string data = testutil::RandomBytes(200000, 7);
    std::thread writer([&, w = w] {
        Stream out(Stream::Desc(ResHandle(w)), std::ios_base::out);
        out.write(data.data(), data.size());
        out.flush();
        EXPECT_TRUE(out.good());
    });
    Stream in(Stream::Desc(ResHandle(r)), std::ios_base::in);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    writer.join();
    EXPECT_EQ(got, data);
}

TEST(Stream, ReadSurvivesEintr) {
    struct sigaction sa {}, old;
    sa.sa_handler = NoOp;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    auto [r, w] = Pipe();
    pthread_t reader_thread = pthread_self();
    std::thread writer([&, w = w] {
        for (int i = 0; i < 2; ++i) {
            usleep(100000);
            pthread_kill(reader_thread, SIGUSR1);
        }
        ASSERT_EQ(::write(w, "hello\n", 6), 6);
        ::close(w);
    });
    Stream in(Stream::Desc(ResHandle(r)), std::ios_base::in);
    std::string line;
    EXPECT_TRUE(vux_stream::GetLine(in, line, '\n', false));
    EXPECT_EQ(line, "hello");
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(Stream, NoLeaksAndCloseOnExec) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "f", "x\n");
    const auto before = testutil::OpenFds();
    for (int i = 0; i < 200; ++i) {
        vux_stream::InStream in(dir / "f", std::ios_base::in);
        vux_stream::OutStream out(dir / "g", std::ios_base::out | std::ios_base::app);
        ASSERT_TRUE(in.IsOpen() && out.IsOpen());
        for (int fd : testutil::OpenFds()) EXPECT_TRUE(before.count(fd) || (fcntl(fd, F_GETFD) & FD_CLOEXEC)) << fd;
        if (i % 2) in.Close();
    }
    EXPECT_EQ(testutil::OpenFds(), before);
}

TEST(Stream, SocketsBothWaysAndPeerClose) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    // A small send buffer forces many partial sends.
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string data = testutil::RandomBytes(3 << 20, 11);
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

TEST(GetLine, SkipsEmptyAndDropsUnterminated) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "f", "a\n\nb");
    for (const bool skip : {true, false}) {
        vux_stream::InStream in(dir / "f", std::ios_base::in);
        std::string line, got;
        while (vux_stream::GetLine(in, line, '\n', skip)) got += line + "|";
        EXPECT_EQ(got, skip ? "a|" : "a||");
    }
}

TEST(BackReader, ReverseOfForwardWithLimits) {
    testutil::TempDir dir;
    const std::string f = dir / "f";
    const std::string longline(5000, 'L');
    std::string huge(300000, 'h');
    huge[150000] = '\r';
    const std::string lines = "first\r\n" + huge + "\r\n" + std::string(70000, 'y') + "\nlast";
    // Every line comes back, from lines longer than any buffer down to empty ones.
    for (const std::string& data : {std::string("a\nb\n"), std::string("a\nb"), std::string("one\r\ntwo\r\n\r\nthree"),
                                    longline + "\nx\n" + longline, std::string("\n\n"), std::string("single"), lines,
                                    lines + "\n"}) {
        testutil::WriteFile(f, data);
        EXPECT_EQ(Backward(f), Forward(data) + "state 1") << data.substr(0, 20);
    }
    testutil::WriteFile(f, "a\nb\n");
    EXPECT_EQ(Backward(f, 100, true), "a|b|state 1");
    // Only the last bytes under a size limit.
    testutil::WriteFile(f, "aaaa\nbbbb\ncccc\n");
    EXPECT_EQ(Backward(f, 100, true, 7), "b|cccc|state 4");
    // Lines over max_len are cut to their first max_len bytes and flagged.
    testutil::WriteFile(f, lines + "\n");
    vux_stream::InStream in(f);
    vux_stream::BackReader br(in);
    std::string last, cut;
    ASSERT_TRUE(br.GetLine(last, '\n', 10, true) && br.GetLine(cut, '\n', 10, true));
    EXPECT_EQ(last + "|" + cut + "|state " + std::to_string(br.GetState()),
              "last|" + std::string(10, 'y') + "|state 2");
}

TEST(FindFirst, Bisection) {
    testutil::TempDir dir;
    std::string data;
    for (int i = 0; i < 2000; i += 2) data += std::to_string(100000 + i) + "\n";
    testutil::WriteFile(dir / "f", data);
    testutil::WriteFile(dir / "e", "");
    vux_stream::InStream in(dir / "f", std::ios_base::in), empty(dir / "e", std::ios_base::in);
    auto find = [&](std::istream& s, int key) {
        const auto r = vux_stream::FindFirst(s, [key](const std::string& l) { return std::stoi(l) - key; });
        return r.line + " " + (r.code > 0 ? "after" : std::to_string(r.code));
    };
    testutil::ExpectPairs({{find(in, 100501), "100502 after"}, {find(in, 100000), "100000 0"},
                           {find(in, 200000), " -1"}, {find(empty, 0), " -1"}});
}
