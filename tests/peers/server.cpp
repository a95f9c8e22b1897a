#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <libvux/vuxfile.h>

namespace peers {

namespace {

// An IPv4 or IPv6 literal with a port.
struct Address {
    Address(const std::string& address, int port) {
        if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
            v4.sin_family = AF_INET;
            v4.sin_port = htons(static_cast<uint16_t>(port));
            len = sizeof v4;
        } else if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(static_cast<uint16_t>(port));
            len = sizeof v6;
        } else {
            throw std::runtime_error("bad address " + address);
        }
    }
    sockaddr* get() { return len == sizeof v4 ? reinterpret_cast<sockaddr*>(&v4) : reinterpret_cast<sockaddr*>(&v6); }
    int family() const { return len == sizeof v4 ? AF_INET : AF_INET6; }
    int port() const { return ntohs(len == sizeof v4 ? v4.sin_port : v6.sin6_port); }

    sockaddr_in v4 = {};
    sockaddr_in6 v6 = {};
    socklen_t len = 0;
};

std::string LogText(const std::string& log) {
    return ::access(log.c_str(), R_OK) == 0 ? vux_file::Read(log) : "";
}

}  // namespace

std::string Which(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::string::size_type from = 0; from <= dirs.size();) {
        std::string::size_type to = dirs.find(':', from);
        if (to == std::string::npos) to = dirs.size();
        const std::string candidate = dirs.substr(from, to - from) + "/" + name;
        if (to > from && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        from = to + 1;
    }
    return "";
}

int FreePort(const std::string& address) {
    Address a(address, 0);
    const int fd = ::socket(a.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t len = a.len;
    if (::bind(fd, a.get(), a.len) != 0 || ::getsockname(fd, a.get(), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port on " + address);
    }
    ::close(fd);
    return a.port();
}

bool Accepts(const std::string& address, int port) {
    Address a(address, port);
    const int fd = ::socket(a.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = ::connect(fd, a.get(), a.len) == 0;
    ::close(fd);
    return ok;
}

void WaitAccepting(const std::string& address, int port, int pid, const std::string& log) {
    for (int i = 0; i < 200; ++i) {
        if (Accepts(address, port)) return;
        int status;
        if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid)
            throw std::runtime_error("the server ended with status " + std::to_string(status) + ": " + LogText(log));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("the server does not answer on " + address + ":" + std::to_string(port) + ": " + LogText(log));
}

int StartServer(const char* const argv[], const std::string& address, int port, const std::string& log,
                const std::function<bool()>& prepare) {
    int pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        // A test process that dies without its destructors takes the server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (prepare && !prepare()) ::_exit(126);
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    try {
        WaitAccepting(address, port, pid, log);
    } catch (const std::exception& e) {
        // Reaped already when it ended; stopped here when it only kept silent.
        if (::kill(pid, 0) == 0) StopServer(pid);
        throw std::runtime_error(std::string(argv[0]) + ": " + e.what());
    }
    return pid;
}

void StopServer(int& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

std::string RootClosedToOthers() {
    struct stat st;
    if (::stat("/", &st) != 0) return "cannot stat /";
    if (!(st.st_mode & S_IXOTH)) return "other users may not search / here, so no unprivileged user can run anything";
    return "";
}

}  // namespace peers
