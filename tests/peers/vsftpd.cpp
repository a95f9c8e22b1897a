#include "vsftpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <libvux/vuxstr.h>

namespace peers {

namespace {

const char* const kVsftpd = "/usr/sbin/vsftpd";

sockaddr_in Loopback(int port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// An id no account of the system uses, so that the server's files belong to the test alone.
unsigned FreeUid() {
    for (unsigned uid = 64100; uid < 65000; ++uid)
        if (!::getpwuid(uid)) return uid;
    throw std::runtime_error("no free uid");
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

const char* const Vsftpd::kUser = "vuxftp";
const char* const Vsftpd::kPassword = "ftp secret";

std::string Vsftpd::Missing() {
    if (::access(kVsftpd, X_OK) != 0) return "vsftpd is not installed (scripts/deps installs it)";
    if (::geteuid() != 0) return "vsftpd needs root for its own mount namespace";
    return "";
}

Vsftpd::Vsftpd(const Options& options) {
    if (!Missing().empty()) throw std::runtime_error(Missing());
    const std::string d = dir_.name();
    const unsigned uid = FreeUid();
    ::chmod(d.c_str(), 0755);
    for (const char* sub : {"/home", "/anon", "/empty", "/etc"}) ::mkdir((d + sub).c_str(), 0755);
    if (::chown(home().c_str(), uid, uid) != 0) throw std::runtime_error("chown " + home());
    const std::string user = kUser, id = std::to_string(uid);
    vux_file::Write(d + "/etc/passwd",
                    vux_file::Read("/etc/passwd") + user + ":x:" + id + ":" + id + "::" + home() + ":/bin/sh\n");
    vux_file::Write(d + "/etc/shadow", vux_file::Read("/etc/shadow") + user + ":" +
                                           str::Crypt(kPassword, str::CryptSHA256) + ":19000:0:99999:7:::\n");
    vux_file::Write(d + "/etc/group", vux_file::Read("/etc/group") + user + ":x:" + id + ":\n");
    std::string small;
    if (options.small_kib) {
        small = home() + "/small";
        ::mkdir(small.c_str(), 0755);
    }

    port_ = FreePort();
    std::string conf = "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nbackground=NO\n"
                       "listen_port=" + std::to_string(port_) + "\n"
                       "pasv_min_port=" + std::to_string(port_ + 1) + "\n"
                       "pasv_max_port=" + std::to_string(port_ + 20) + "\n"
                       "anonymous_enable=YES\nanon_root=" + anon() + "\n"
                       "local_enable=YES\nwrite_enable=YES\nlocal_umask=022\nlocal_root=" + home() + "\n"
                       "port_enable=YES\nconnect_from_port_20=NO\nsecure_chroot_dir=" + d + "/empty\n"
                       "seccomp_sandbox=NO\nsyslog_enable=NO\nxferlog_enable=YES\nxferlog_std_format=NO\n"
                       "log_ftp_protocol=YES\nvsftpd_log_file=" + d + "/vsftpd.log\n";
    if (options.tls) {
        Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout '" + d +
            "/key.pem' -out '" + d + "/cert.pem' 2>/dev/null");
        conf += "ssl_enable=YES\nallow_anon_ssl=YES\nrsa_cert_file=" + d + "/cert.pem\nrsa_private_key_file=" + d +
                "/key.pem\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n";
    }
    vux_file::Write(d + "/vsftpd.conf", conf);

    const std::string size = "size=" + std::to_string(options.small_kib) + "k,uid=" + id + ",gid=" + id;
    const std::string config = d + "/vsftpd.conf";
    const std::string binds[] = {"passwd", "shadow", "group"};
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // A test process that dies without its destructors takes the server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            ::_exit(126);
        for (const std::string& f : binds) {
            const std::string copy = d + "/etc/" + f, real = "/etc/" + f;
            if (::mount(copy.c_str(), real.c_str(), nullptr, MS_BIND, nullptr) != 0) ::_exit(126);
        }
        if (!small.empty() && ::mount("tmpfs", small.c_str(), "tmpfs", 0, size.c_str()) != 0) ::_exit(126);
        ::execl(kVsftpd, kVsftpd, config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        if (Accepts(port_)) return;
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("vsftpd ended with status " + std::to_string(status));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Stop();
    throw std::runtime_error("vsftpd does not answer on port " + std::to_string(port_));
}

std::string Vsftpd::Url(const std::string& scheme, const std::string& path) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::string Vsftpd::Log() const {
    const std::string log = dir_.name() + "/vsftpd.log";
    return ::access(log.c_str(), R_OK) == 0 ? vux_file::Read(log) : "";
}

Vsftpd::~Vsftpd() {
    Stop();
}

void Vsftpd::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace peers
