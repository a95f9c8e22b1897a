#include "smtp.h"
#include "server.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace peers {

const char* const Smtp::kUser = "vuxsmtp";
const char* const Smtp::kPassword = "smtp secret";

std::string Smtp::Missing() {
    if (std::system("/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null") != 0)
        return "Python's aiosmtpd is not installed (scripts/deps installs python3-aiosmtpd)";
    return "";
}

Smtp::Smtp(Mode mode, bool auth, const std::string& address) {
    if (!Missing().empty()) throw std::runtime_error(Missing());
    const std::string d = dir_.name();
    if (mode == kSmtps || mode == kStartTls) {
        const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout '" +
                                    d + "/key.pem' -out '" + d + "/cert.pem' 2>/dev/null";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
    }
    port_ = FreePort(address);
    const std::string script = std::string(VUX_SOURCE_DIR) + "/tests/peers/smtp_server.py";
    const std::string port = std::to_string(port_), log = d + "/server.log";
    const char* const modes[] = {"plain", "smtps", "starttls", "stall"};
    const char* const argv[] = {"/usr/bin/python3", script.c_str(), address.c_str(), port.c_str(), d.c_str(),
                                modes[mode], auth ? "auth" : "none", nullptr};
    pid_ = StartServer(argv, address, port_, log, [&] {
        // Errors of the script end up where a failed start reports them from.
        const int fd = ::creat(log.c_str(), 0644);
        return fd >= 0 && ::dup2(fd, 2) == 2 && ::close(fd) == 0;
    });
}

Smtp::~Smtp() {
    StopServer(pid_);
}

std::vector<Json::Value> Smtp::Received() const {
    std::vector<Json::Value> out;
    for (int n = 1;; ++n) {
        const std::string path = dir_.name() + "/" + std::to_string(n) + ".json";
        if (::access(path.c_str(), R_OK) != 0) break;
        std::istringstream in(vux_file::Read(path));
        Json::Value record;
        std::string errors;
        if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &record, &errors))
            throw std::runtime_error(path + ": " + errors);
        out.push_back(record);
    }
    return out;
}

std::string Smtp::Raw(int n) const {
    return vux_file::Read(dir_.name() + "/" + std::to_string(n) + ".eml");
}

}  // namespace peers
