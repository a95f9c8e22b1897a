#include "dovecot.h"
#include "server.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <libvux/vuxstr.h>

namespace peers {

namespace {

const char* const kDovecot = "/usr/sbin/dovecot";

// An id no account of the system uses, so that the mail belongs to the test alone.
unsigned FreeUid() {
    for (unsigned uid = 64200; uid < 65000; ++uid)
        if (!::getpwuid(uid)) return uid;
    throw std::runtime_error("no free uid");
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void MakeDir(const std::string& path, unsigned uid) {
    if (::mkdir(path.c_str(), 0700) != 0 || ::chown(path.c_str(), uid, uid) != 0)
        throw std::runtime_error("mkdir " + path);
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') out.push_back(e->d_name);
    ::closedir(d);
    return out;
}

}  // namespace

const char* const Dovecot::kUser = "vuxmail";
const char* const Dovecot::kPassword = "mail secret";

std::string Dovecot::Missing() {
    if (::access(kDovecot, X_OK) != 0) return "dovecot is not installed (scripts/deps installs it)";
    if (::geteuid() != 0) return "dovecot needs root to run its processes as other users";
    if (!::getpwnam("dovenull") || !::getpwnam("dovecot")) return "the users dovenull and dovecot are missing";
    // Its auth and mail processes read the scratch directory as those users.
    return RootClosedToOthers();
}

Dovecot::Dovecot() {
    if (!Missing().empty()) throw std::runtime_error(Missing());
    const std::string d = dir_.name();
    ::chmod(d.c_str(), 0755);
    uid_ = FreeUid();
    const std::string id = std::to_string(uid_);
    ::mkdir((d + "/mail").c_str(), 0755);
    MakeDir(Maildir(), uid_);
    for (const char* sub : {"/new", "/cur", "/tmp"}) MakeDir(Maildir() + sub, uid_);
    vux_file::Write(d + "/users", std::string(kUser) + ":{PLAIN}" + kPassword + ":" + id + ":" + id + "::" +
                                      Maildir() + "::\n");
    Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout '" + d + "/key.pem' -out '" +
        d + "/cert.pem' 2>/dev/null");

    imap_ = FreePort();
    imaps_ = FreePort();
    pop3_ = FreePort();
    pop3s_ = FreePort();
    if (imaps_ == imap_ || pop3_ == imap_ || pop3_ == imaps_ || pop3s_ == imap_ || pop3s_ == imaps_ || pop3s_ == pop3_)
        throw std::runtime_error("the same free port twice");
    const std::string conf =
        "base_dir = " + d + "/run\n"
        "state_dir = " + d + "/state\n"
        "log_path = " + d + "/dovecot.log\n"
        "protocols = imap pop3\n"
        "listen = 127.0.0.1\n"
        "ssl = yes\n"
        "ssl_cert = <" + d + "/cert.pem\n"
        "ssl_key = <" + d + "/key.pem\n"
        "disable_plaintext_auth = no\n"
        "auth_mechanisms = plain login\n"
        "default_login_user = dovenull\n"
        "default_internal_user = dovecot\n"
        "first_valid_uid = 1\n"
        "mail_location = maildir:" + Maildir() + "\n"
        "pop3_uidl_format = %08Xu%08Xv\n"
        "auth_failure_delay = 0\n"
        "passdb {\n  driver = passwd-file\n  args = " + d + "/users\n}\n"
        "userdb {\n  driver = passwd-file\n  args = " + d + "/users\n}\n"
        "service imap-login {\n"
        "  inet_listener imap {\n    port = " + std::to_string(imap_) + "\n  }\n"
        "  inet_listener imaps {\n    port = " + std::to_string(imaps_) + "\n    ssl = yes\n  }\n}\n"
        "service pop3-login {\n"
        "  inet_listener pop3 {\n    port = " + std::to_string(pop3_) + "\n  }\n"
        "  inet_listener pop3s {\n    port = " + std::to_string(pop3s_) + "\n    ssl = yes\n  }\n}\n";
    vux_file::Write(d + "/dovecot.conf", conf);

    const std::string config = d + "/dovecot.conf";
    const char* const argv[] = {kDovecot, "-F", "-c", config.c_str(), nullptr};
    pid_ = StartServer(argv, "127.0.0.1", imap_, d + "/dovecot.log");
    try {
        for (int port : {imaps_, pop3_, pop3s_}) WaitAccepting("127.0.0.1", port, pid_, d + "/dovecot.log");
    } catch (...) {
        StopServer(pid_);
        throw;
    }
}

Dovecot::~Dovecot() {
    StopServer(pid_);
}

std::string Dovecot::Deliver(const std::string& source, bool seen) {
    const std::string name = std::to_string(::time(nullptr)) + ".M" + std::to_string(++delivered_) + "P" +
                             std::to_string(::getpid()) + ".vuxtest";
    const std::string tmp = Maildir() + "/tmp/" + name;
    const std::string dest = seen ? Maildir() + "/cur/" + name + ":2,S" : Maildir() + "/new/" + name;
    vux_file::Write(tmp, source);
    if (::chown(tmp.c_str(), uid_, uid_) != 0 || ::rename(tmp.c_str(), dest.c_str()) != 0)
        throw std::runtime_error("cannot deliver " + dest);
    return name;
}

std::vector<std::string> Dovecot::Messages() const {
    std::vector<std::string> out;
    for (const char* sub : {"/new/", "/cur/"})
        for (const std::string& name : Names(Maildir() + sub)) out.push_back(vux_file::Read(Maildir() + sub + name));
    return out;
}

int Dovecot::SeenCount() const {
    int n = 0;
    for (const std::string& name : Names(Maildir() + "/cur")) {
        const std::string::size_type info = name.find(":2,");
        if (info != std::string::npos && name.find('S', info) != std::string::npos) ++n;
    }
    return n;
}

std::string Dovecot::Log() const {
    const std::string log = dir_.name() + "/dovecot.log";
    return ::access(log.c_str(), R_OK) == 0 ? vux_file::Read(log) : "";
}

}  // namespace peers
