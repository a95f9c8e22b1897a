#include "vsftpd.h"
#include "server.h"

#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <libvux/vuxstr.h>

namespace peers {

namespace {

const char* const kVsftpd = "/usr/sbin/vsftpd";

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
    // The local account logs in to a home it must be able to reach.
    return RootClosedToOthers();
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

    port_ = FreePort("127.0.0.1");
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
    const std::string layers = "lowerdir=" + d + "/etc:/etc";
    const char* const argv[] = {kVsftpd, config.c_str(), nullptr};
    // The server sees the copied account files and the small file system; the host never does.
    // The account files lie over the whole of /etc: a file bind-mounted over /etc/passwd would
    // vanish from this namespace as soon as useradd elsewhere renames a new passwd into place.
    pid_ = StartServer(argv, "127.0.0.1", port_, d + "/vsftpd.log", [&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("overlay", "/etc", "overlay", MS_RDONLY, layers.c_str()) != 0)
            return false;
        return small.empty() || ::mount("tmpfs", small.c_str(), "tmpfs", 0, size.c_str()) == 0;
    });
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
    StopServer(pid_);
}

}  // namespace peers
