#include "sshd.h"
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace peers {

namespace {

namespace fs = std::filesystem;

const char* const kSshd = "/usr/sbin/sshd";
const char* const kRoot = "/tmp/vuxssh";
const char* const kLock = "/tmp/vuxssh.lock";
const char* const kUser = "vuxssh";
const int kSuitePort = 2222;

std::string Root(const std::string& name) {
    return std::string(kRoot) + "/" + name;
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Serialises the set-up between the test processes that run at once.
class Lock {
public:
    Lock() : fd_(::open(kLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) { ::flock(fd_, LOCK_EX); }
    ~Lock() { ::close(fd_); }

private:
    int fd_;
};

// Account, user keys and host keys, when not there yet; the caller holds the lock.
void MakeAccount() {
    if (fs::exists(Root("ready"))) return;
    fs::remove_all(kRoot);
    fs::create_directories(Root("keys"));
    fs::create_directories(Root("host"));
    fs::create_directories(Root("home/.ssh"));
    fs::permissions(kRoot, fs::perms(0755));
    if (!::getpwnam(kUser)) Shell(std::string("useradd -M -d ") + Root("home") + " -s /bin/sh " + kUser);
    Shell(std::string("echo '") + kUser + ":" + TestAccount().password + "' | chpasswd");
    std::string authorized;
    for (const char* type : {"rsa", "ed25519"}) {
        for (const std::string& suffix : {std::string(), std::string("_pw")}) {
            const std::string key = Root("keys/") + type + suffix;
            const std::string pass = suffix.empty() ? "" : TestAccount().passphrase;
            Shell("ssh-keygen -q -t " + std::string(type) + " -N '" + pass + "' -C vuxssh -f " + key);
            authorized += Read(key + ".pub");
        }
    }
    for (const char* type : {"ed25519", "ecdsa", "rsa"})
        Shell("ssh-keygen -q -t " + std::string(type) + " -N '' -f " + Root("host/") + type);
    Write(Root("home/.ssh/authorized_keys"), authorized);
    Shell(std::string("chown -R ") + kUser + " " + Root("home"));
    fs::create_directories("/run/sshd");
    Write(Root("ready"), "");
}

std::string ConfigText(const Sshd::Config& config, int port, const std::string& dir) {
    std::string text = "ListenAddress 127.0.0.1:" + std::to_string(port) + "\nPidFile " + dir + "/sshd.pid\n";
    for (const std::string& type : config.host_keys) text += "HostKey " + Root("host/") + type + "\n";
    text += "AuthorizedKeysFile " + Root("home/.ssh/authorized_keys") + "\nStrictModes no\nAllowUsers " + kUser +
            "\nLogLevel ERROR\nMaxStartups 100\nMaxSessions 100\n"
            // libssh2 1.10 signs with RSA keys by SHA-1 only.
            "HostKeyAlgorithms +ssh-rsa\nPubkeyAcceptedAlgorithms +ssh-rsa\n";
    if (config.keyboard_interactive)
        text += "UsePAM yes\nPasswordAuthentication no\nPubkeyAuthentication no\nKbdInteractiveAuthentication yes\n";
    else
        text += "UsePAM no\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\n";
    return text;
}

// A server's connection processes (and theirs, which hold the connection too) go first: they
// outlive the listener otherwise.
void KillTree(int pid, int signal) {
    std::istringstream children(Read("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    for (int child; children >> child;) KillTree(child, SIGKILL);
    ::kill(pid, signal);
}

void Kill(int pid) {
    KillTree(pid, SIGTERM);
}

int SuitePid() {
    const std::string text = Read(Root("suite/sshd.pid"));
    return text.empty() ? -1 : std::atoi(text.c_str());
}

bool SuiteRunning() {
    const int pid = SuitePid();
    return pid > 0 && ::kill(pid, 0) == 0 && Accepts("127.0.0.1", kSuitePort);
}

void LaunchSuite() {
    MakeAccount();
    const std::string dir = Root("suite");
    fs::create_directories(dir);
    Write(dir + "/sshd_config", ConfigText(Sshd::Config(), kSuitePort, dir));
    // Without -D sshd goes to the background and writes its pid file itself.
    Shell(std::string(kSshd) + " -f " + dir + "/sshd_config -E " + dir + "/sshd.log");
    WaitAccepting("127.0.0.1", kSuitePort, -1, dir + "/sshd.log");
    // sshd writes its pid file after it listens. Until then the server looks absent, and the
    // next caller would launch it again and, at its exit, stop the suite under everyone else.
    for (int i = 0; i < 200 && SuitePid() <= 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (SuitePid() <= 0) throw std::runtime_error("sshd wrote no pid file: " + Read(dir + "/sshd.log"));
}

struct StopAtExit {
    ~StopAtExit() { Sshd::StopSuite(); }
};

}  // namespace

const SshAccount& TestAccount() {
    static const SshAccount account{kUser, "Vux-ssh-2026", Root("keys"), "key-pass-7"};
    return account;
}

std::string Sshd::Missing() {
    if (::access(kSshd, X_OK) != 0) return "sshd is not installed (scripts/deps installs it)";
    if (::geteuid() != 0) return "sshd and useradd need root";
    return RootClosedToOthers();
}

std::string Sshd::HostKey(const std::string& type) {
    std::istringstream line(Read(Root("host/") + type + ".pub"));
    std::string name, key;
    line >> name >> key;
    return name + " " + key;
}

Sshd::Sshd(const Config& config) {
    // The account comes with the suite's server, and goes with it.
    Suite();
    char tmpl[] = "/tmp/vuxsshd.XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    port_ = FreePort("127.0.0.1");
    Write(dir_ + "/sshd_config", ConfigText(config, port_, dir_));
    const std::string conf = dir_ + "/sshd_config", log = dir_ + "/sshd.log";
    const char* const argv[] = {kSshd, "-D", "-f", conf.c_str(), "-E", log.c_str(), nullptr};
    try {
        pid_ = StartServer(argv, "127.0.0.1", port_, log);
    } catch (...) {
        fs::remove_all(dir_);
        throw;
    }
}

Sshd::~Sshd() {
    Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void Sshd::Stop() {
    if (pid_ <= 0) return;
    Kill(pid_);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int Sshd::Suite() {
    if (!Missing().empty()) throw std::runtime_error(Missing());
    Lock lock;
    if (!SuiteRunning()) {
        LaunchSuite();
        static StopAtExit stop;
    }
    return kSuitePort;
}

void Sshd::StartSuite() {
    if (!Missing().empty()) throw std::runtime_error(Missing());
    Lock lock;
    if (!SuiteRunning()) LaunchSuite();
}

void Sshd::StopSuite() {
    Lock lock;
    const int pid = SuitePid();
    if (pid > 0) {
        Kill(pid);
        for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (::getpwnam(kUser)) std::system((std::string("userdel ") + kUser + " 2>/dev/null").c_str());
    std::error_code ec;
    fs::remove_all(kRoot, ec);
}

}  // namespace peers
