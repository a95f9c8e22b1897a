#include "s3rver.h"
#include "server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace peers {

namespace {
// npm puts its global commands under its prefix: /usr/local/bin for Debian's, /usr/bin for others.
std::string Program() {
    return Which("s3rver");
}
}  // namespace

const char* const S3rver::kKey = "S3RVER";
const char* const S3rver::kBucket = "vux-bucket";

std::string S3rver::Missing() {
    if (Program().empty()) return "s3rver is not installed (scripts/deps installs it with npm)";
    return "";
}

S3rver::S3rver(bool tls) : tls_(tls) {
    if (!Missing().empty()) throw std::runtime_error(Missing());
    const std::string d = dir_.name();
    ::mkdir((d + "/data").c_str(), 0700);
    port_ = FreePort();
    const std::string port = std::to_string(port_), data = d + "/data", log = d + "/s3rver.log";
    const std::string key = d + "/tls.key", cert = d + "/tls.pem";
    if (tls) {
        const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=s3.localhost"
                                 " -addext subjectAltName=DNS:*.s3.localhost,DNS:s3.localhost -keyout " +
                                 key + " -out " + cert + " >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) throw std::runtime_error("openssl req failed");
    }
    const std::string program = Program();
    const char* plain[] = {program.c_str(), "-d", data.c_str(), "-a", "127.0.0.1", "-p", port.c_str(), "-s",
                           "--service-endpoint", "localhost", "--configure-bucket", kBucket, nullptr};
    const char* secure[] = {program.c_str(), "-d", data.c_str(), "-a", "127.0.0.1", "-p", port.c_str(), "-s",
                            "--service-endpoint", "localhost", "--configure-bucket", kBucket,
                            "--key", key.c_str(), "--cert", cert.c_str(), nullptr};
    pid_ = StartServer(tls ? secure : plain, "127.0.0.1", port_, log, [log] {
        return std::freopen(log.c_str(), "a", stdout) && std::freopen(log.c_str(), "a", stderr);
    });
}

S3rver::~S3rver() { StopServer(pid_); }

std::string S3rver::Endpoint() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string S3rver::Host() const { return "s3.localhost:" + std::to_string(port_); }

std::string S3rver::Token(bool path_style, const std::string& bucket) const {
    const std::string scheme = tls_ ? "https://" : "http://";
    return std::string(kKey) + ":" + kKey + ":" + bucket + ":" + (path_style ? "urlpath" : "vhost") + ":" +
           (path_style ? Endpoint() : scheme + Host() + "/");
}

}  // namespace peers
