#include "core.h"
#include "server.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace peers {

namespace {

const char* const kNginx = "/usr/sbin/nginx";

}  // namespace

Panel::Panel() {
    for (const char* sub : {"bin", "tmp", "etc", "var"}) vux_file::MkDir(dir() + "/" + sub);
    if (::symlink(VUX_CORE, (dir() + "/bin/core").c_str()) != 0) throw std::runtime_error("symlink bin/core");
}

int Panel::CorePid(const std::string& name) const {
    const std::string pidfile = dir() + "/tmp/" + name + ".pid";
    const int fd = ::open(pidfile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    // A pid file nobody holds is a core that is gone.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held ? std::atoi(vux_file::ReadE(pidfile).c_str()) : -1;
}

Panel::~Panel() {
    for (int pid : children_) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    // Cores the library started are no children of ours: find them by their pid files.
    if (DIR* d = ::opendir((dir() + "/tmp").c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".pid") == 0) {
                const int pid = CorePid(n.substr(0, n.size() - 4));
                if (pid > 0) ::kill(pid, SIGKILL);
            }
        }
        ::closedir(d);
    }
}

int Panel::Spawn(const std::vector<std::string>& argv) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::chdir(dir().c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    children_.push_back(pid);
    return pid;
}

std::string Panel::Http(const std::string& name) {
    const int port = FreePort();
    const int pid = Spawn({dir() + "/bin/core", name, "--http", "127.0.0.1:" + std::to_string(port)});
    WaitAccepting("127.0.0.1", port, pid, "");
    return "http://127.0.0.1:" + std::to_string(port) + "/core";
}

std::string Panel::NginxMissing() {
    if (::access(kNginx, X_OK) != 0) return "nginx is not installed (scripts/deps installs it)";
    if (::access("/usr/bin/openssl", X_OK) != 0) return "openssl is not installed";
    return "";
}

std::string Panel::Https(const std::string& name) {
    if (!NginxMissing().empty()) throw std::runtime_error(NginxMissing());
    const std::string http = Http(name);
    const std::string d = dir() + "/nginx";
    vux_file::MkDir(d);
    const std::string cert = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" + d +
                             "/key.pem' -out '" + d + "/cert.pem' >/dev/null 2>&1";
    if (std::system(cert.c_str()) != 0) throw std::runtime_error("openssl req failed");
    const int port = FreePort();
    std::string conf = "daemon off;\nmaster_process off;\npid " + d + "/nginx.pid;\nerror_log " + d +
                       "/error.log;\nevents {}\nhttp {\n  access_log off;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += std::string("  ") + temp + "_temp_path " + d + "/" + temp + ";\n";
    conf += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + " ssl;\n    ssl_certificate " + d +
            "/cert.pem;\n    ssl_certificate_key " + d + "/key.pem;\n    location / { proxy_pass " +
            http.substr(0, http.rfind('/')) + "; }\n  }\n}\n";
    vux_file::Write(d + "/nginx.conf", conf);
    const int pid = Spawn({kNginx, "-c", d + "/nginx.conf", "-p", d});
    WaitAccepting("127.0.0.1", port, pid, d + "/error.log");
    return "https://127.0.0.1:" + std::to_string(port) + "/core";
}

}  // namespace peers
