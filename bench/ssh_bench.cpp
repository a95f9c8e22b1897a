// The SSH client against sshd on loopback, beside raw libssh2 doing the same work on one
// session: 1,000 short commands ("true" with its status), and 200 MB of a file through cat.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libssh2.h>

#include <cstdlib>
#include <fstream>
#include <istream>
#include <vector>

#include <libvux/vuxssh.h>

#include "bench_util.h"
#include "peers/sshd.h"

namespace {

const std::size_t kFileSize = 200u << 20;
const char* const kFile = "/tmp/vuxssh-bench.data";

int Port() {
    static peers::Sshd server;
    return server.port();
}

// The file cat sends: world-readable, so that the test account can read it.
void MakeFile() {
    static const bool made = [] {
        const std::string block = benchutil::RandomBytes(1 << 20, 5);
        std::ofstream out(kFile, std::ios::binary | std::ios::trunc);
        for (std::size_t n = 0; n < kFileSize; n += block.size()) out << block;
        return static_cast<bool>(out.flush());
    }();
    if (!made) std::abort();
}

vux_rpc::SSHpass Vux() {
    const peers::SshAccount& account = peers::TestAccount();
    vux_rpc::SSHpass ssh("127.0.0.1", account.user, account.password, Port());
    ssh.Connect();
    return ssh;
}

// A logged-in libssh2 session in blocking mode.
struct Raw {
    Raw() {
        const int port = Port();
        sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
        // As the client sets it: the yardstick is libssh2's work, not Nagle's delays.
        const int on = 1;
        ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        session = libssh2_session_init();
        const peers::SshAccount& account = peers::TestAccount();
        if (libssh2_session_handshake(session, sock) ||
            libssh2_userauth_password(session, account.user.c_str(), account.password.c_str()))
            std::abort();
    }
    ~Raw() {
        libssh2_session_disconnect(session, "bye");
        libssh2_session_free(session);
        ::close(sock);
    }
    LIBSSH2_CHANNEL* Exec(const char* command) {
        LIBSSH2_CHANNEL* channel = libssh2_channel_open_session(session);
        if (!channel || libssh2_channel_exec(channel, command)) std::abort();
        return channel;
    }
    int Close(LIBSSH2_CHANNEL* channel) {
        libssh2_channel_close(channel);
        const int status = libssh2_channel_get_exit_status(channel);
        libssh2_channel_free(channel);
        return status;
    }
    int sock;
    LIBSSH2_SESSION* session;
};

void BM_Vux_ExecuteTrueResult(benchmark::State& state) {
    vux_rpc::SSHpass ssh = Vux();
    for (auto _ : state)
        if (ssh.Execute("true").Result() != 0) std::abort();
}

void BM_Libssh2_ChannelExecTrue(benchmark::State& state) {
    Raw raw;
    for (auto _ : state)
        if (raw.Close(raw.Exec("true")) != 0) std::abort();
}

void BM_Vux_OutFromCat200MB(benchmark::State& state) {
    MakeFile();
    vux_rpc::SSHpass ssh = Vux();
    std::vector<char> buf(65536);
    for (auto _ : state) {
        std::istream& out = ssh.Execute(std::string("cat ") + kFile).Out();
        std::size_t total = 0;
        while (out.read(buf.data(), static_cast<std::streamsize>(buf.size())) || out.gcount() > 0)
            total += static_cast<std::size_t>(out.gcount());
        if (total != kFileSize || ssh.Result() != 0) std::abort();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_Libssh2_ReadLoopFromCat200MB(benchmark::State& state) {
    MakeFile();
    Raw raw;
    std::vector<char> buf(65536);
    for (auto _ : state) {
        LIBSSH2_CHANNEL* channel = raw.Exec((std::string("cat ") + kFile).c_str());
        std::size_t total = 0;
        for (ssize_t n; (n = libssh2_channel_read(channel, buf.data(), buf.size())) > 0;)
            total += static_cast<std::size_t>(n);
        if (total != kFileSize || raw.Close(channel) != 0) std::abort();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_Vux_ExecuteTrueResult)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Libssh2_ChannelExecTrue)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Vux_OutFromCat200MB)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libssh2_ReadLoopFromCat200MB)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::unlink(kFile);
    return 0;
}
