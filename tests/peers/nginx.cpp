#include "nginx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>

namespace peers {

namespace {

const char* const kNginx = "/usr/sbin/nginx";
const char* const kOpenssl = "/usr/bin/openssl";

sockaddr_in Address(const std::string& address, int port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) throw std::runtime_error("bad address " + address);
    return a;
}

bool Accepts(const std::string& address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Address(address, port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string Random(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(gen() & 0xFF);
    return out;
}

// Writes a file, making its directories first.
void Put(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    vux_file::Write(path, data);
}

void Run(const std::string& dir, const std::string& script) {
    const std::string cmd = "cd '" + dir + "' && (" + script + ") >>openssl.log 2>&1";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("openssl failed: " + vux_file::Read(dir + "/openssl.log"));
}

// A CA, a server certificate it signs for localhost and 127.0.0.1, and a self-signed one.
void MakeCertificates(const std::string& dir) {
    const std::string ec = std::string(kOpenssl) + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3 ";
    Run(dir, ec + "-subj /CN=vux-test-ca -keyout ca.key -out ca.pem && " +
                 ec + "-subj /CN=vux-self-signed -keyout self.key -out self.pem && " +
                 kOpenssl + " req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost "
                 "-keyout server.key -out server.csr && "
                 "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' >server.ext && " +
                 kOpenssl + " x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3 "
                 "-extfile server.ext -out server.pem");
}

std::string Config(const std::string& d, const std::string& a, int http, bool tls, int self, int ca, int client) {
    std::string conf = "user root root;\nworker_processes 1;\nerror_log " + d + "/error.log warn;\npid " + d +
                       "/nginx.pid;\nevents { worker_connections 4096; }\nhttp {\n"
                       "  log_format conn '$connection $request_method $request_uri $status $remote_addr';\n"
                       "  access_log " + d + "/access.log conn;\n"
                       "  client_body_temp_path " + d + "/tmp/body;\n  proxy_temp_path " + d + "/tmp/proxy;\n"
                       "  fastcgi_temp_path " + d + "/tmp/fastcgi;\n  uwsgi_temp_path " + d + "/tmp/uwsgi;\n"
                       "  scgi_temp_path " + d + "/tmp/scgi;\n"
                       "  types { text/html html shtml; text/plain txt; }\n  default_type application/octet-stream;\n"
                       "  keepalive_requests 1000000;\n  keepalive_timeout 120s;\n  client_max_body_size 0;\n"
                       "  root " + d + "/www;\n"
                       "  server {\n    listen " + a + ":" + std::to_string(http) + ";\n"
                       "    location /dav/ { dav_methods PUT DELETE MKCOL; create_full_put_path on; }\n"
                       "    location = /redirect/1 { return 302 /redirect/2; }\n"
                       "    location = /redirect/2 { return 302 /files/1000.bin; }\n"
                       "    location = /redirect/loop { return 302 /redirect/loop; }\n"
                       "    location = /status/404 { return 404 \"not here\\n\"; }\n"
                       "    location = /status/500 { return 500 \"broken\\n\"; }\n"
                       "    location = /status/302 { return 302 /files/1000.bin; }\n"
                       "    location /slow/ { limit_rate 1k; }\n"
                       "    location /chunked/ { ssi on; }\n"
                       "  }\n";
    if (tls) {
        const auto server = [&](int port, const std::string& cert, const std::string& extra) {
            return "  server {\n    listen " + a + ":" + std::to_string(port) + " ssl;\n    ssl_certificate " + d + "/" +
                   cert + ".pem;\n    ssl_certificate_key " + d + "/" + cert + ".key;\n" + extra + "  }\n";
        };
        conf += server(self, "self", "");
        conf += server(ca, "server", "");
        conf += server(client, "server", "    ssl_client_certificate " + d + "/ca.pem;\n    ssl_verify_client on;\n");
    }
    return conf + "}\n";
}

void WriteContent(const std::string& www) {
    Put(www + "/files/empty.bin", "");
    Put(www + "/files/1000.bin", Random(1000, 1));
    Put(www + "/files/1k.bin", Random(1024, 2));
    Put(www + "/files/1m.bin", Random(1 << 20, 3));
    Put(www + "/slow/100k.bin", Random(100 * 1024, 4));
    Put(www + "/chunked/page.shtml", "start <!--# echo var=\"vux_none\" default=\"middle\" --> end\n");
}

}  // namespace

int FreePort(const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Address(address, 0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port on " + address);
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

int StartServer(const char* const argv[], const std::string& address, int port, const std::string& log) {
    const int pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        // A test process that dies without its destructors takes the server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        if (Accepts(address, port)) return pid;
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            throw std::runtime_error(std::string(argv[0]) + " ended: " + (::access(log.c_str(), R_OK) == 0 ? vux_file::Read(log) : ""));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int p = pid;
    StopServer(p);
    throw std::runtime_error(std::string(argv[0]) + " does not answer on " + address);
}

void StopServer(int& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

std::string Nginx::Missing() {
    if (::access(kNginx, X_OK) != 0) return "nginx is not installed (scripts/deps installs it)";
    if (::access(kOpenssl, X_OK) != 0) return "openssl is not installed";
    return "";
}

Nginx::Nginx(bool tls, const std::string& address) : address_(address) {
    if (!Missing().empty()) throw std::runtime_error(Missing());
    const std::string d = dir();
    Put(d + "/tmp/.keep", "");
    WriteContent(www());
    Put(www() + "/dav/.keep", "");
    http_ = FreePort(address);
    if (tls) {
        MakeCertificates(d);
        self_signed_ = FreePort(address);
        ca_signed_ = FreePort(address);
        client_cert_ = FreePort(address);
    }
    vux_file::Write(d + "/nginx.conf", Config(d, address, http_, tls, self_signed_, ca_signed_, client_cert_));
    const std::string conf = d + "/nginx.conf";
    const std::string err = d + "/error.log";
    const char* const args[] = {kNginx, "-p", d.c_str(), "-c", conf.c_str(), "-e", err.c_str(),
                                "-g", "daemon off; master_process on;", nullptr};
    pid_ = StartServer(args, address, http_, err);
    if (tls) {
        for (int port : {self_signed_, ca_signed_, client_cert_})
            for (int i = 0; i < 200 && !Accepts(address, port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

Nginx::~Nginx() {
    StopServer(pid_);
}

std::string Nginx::UrlOf(const char* scheme, int port, const std::string& path) const {
    if (port == 0) throw std::logic_error("this nginx serves no TLS");
    std::string url = scheme;
    url.append("://").append(address_).append(":").append(std::to_string(port)).append(path);
    return url;
}

std::string Nginx::Url(const std::string& path) const { return UrlOf("http", http_, path); }
std::string Nginx::SelfSignedUrl(const std::string& path) const { return UrlOf("https", self_signed_, path); }
std::string Nginx::CaSignedUrl(const std::string& path) const { return UrlOf("https", ca_signed_, path); }
std::string Nginx::ClientCertUrl(const std::string& path) const { return UrlOf("https", client_cert_, path); }

std::string Nginx::ClientCert(const std::string& name, const std::string& form, const std::string& password) const {
    const std::string o = kOpenssl;
    const std::string pass = " -passout 'pass:" + password + "'";
    const std::string encrypt = form == "pkcs8" ? o + " pkcs8 -topk8 -v2 aes-256-cbc -in " + name + ".plain -out " + name + ".key" + pass
                                                : o + " rsa -aes256 -traditional -in " + name + ".plain -out " + name + ".key" + pass;
    Run(dir(), o + " genrsa -out " + name + ".plain 2048 && " + o + " req -new -key " + name + ".plain -subj /CN=" + name +
                   " -out " + name + ".csr && " + o + " x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial " +
                   "-days 3 -out " + name + ".pem && " + encrypt + " && rm " + name + ".plain");
    return dir() + "/" + name;
}

HttpEcho::HttpEcho(const std::string& address) : address_(address) {
    port_ = FreePort(address);
    const std::string script = VUX_SOURCE_DIR "/tests/peers/http_echo.py";
    const std::string port = std::to_string(port_);
    const std::string log = dir_.name() + "/echo.log";
    const char* const argv[] = {"/usr/bin/python3", script.c_str(), address.c_str(), port.c_str(), log.c_str(), nullptr};
    pid_ = StartServer(argv, address, port_, log);
}

HttpEcho::~HttpEcho() {
    StopServer(pid_);
}

std::string HttpEcho::Url(const std::string& path) const {
    std::string url = "http://";
    url.append(address_).append(":").append(std::to_string(port_)).append(path);
    return url;
}

}  // namespace peers
