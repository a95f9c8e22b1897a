// nginx (for tests and benchmarks alike) on free ports of a loopback address, from a
// configuration written into a scratch directory with its own prefix, pid file, logs and
// document root; the server goes with the object. The Python stand-in for what nginx cannot
// show (echoed requests, cookies) lives here too.
#ifndef LIBVUX_TESTS_PEERS_NGINX_H
#define LIBVUX_TESTS_PEERS_NGINX_H

#include <string>

#include <libvux/vuxfile.h>

namespace peers {

// A TCP port on `address` that nothing listens on right now.
int FreePort(const std::string& address);

// Runs a server program with PR_SET_PDEATHSIG and waits until `address`:`port` accepts;
// throws std::runtime_error with `log`'s text when it ends or does not answer in 10 seconds.
int StartServer(const char* const argv[], const std::string& address, int port, const std::string& log);
void StopServer(int& pid);

// Plain HTTP serves, under the document root www():
//   /files/empty.bin, /files/1000.bin, /files/1k.bin, /files/1m.bin  random bytes of those sizes
//   /redirect/1 -> /redirect/2 -> /files/1000.bin (302 each), /redirect/loop (to itself)
//   /status/<code> for 404, 500, 302 (to /files/1000.bin), with short bodies
//   /slow/*          static files sent at 1 KB/s
//   /chunked/*.shtml server-side includes, so the response is chunked
//   /dav/*           PUT, DELETE and MKCOL store into www()/dav
// HTTPS (only with tls): a self-signed server, one whose certificate the CA at ca() signed
// (for "localhost" and 127.0.0.1), and one of those that asks for a client certificate from
// that CA. The access log (log()) has one line per request: "$connection $method $uri $status $remote_addr".
class Nginx {
public:
    explicit Nginx(bool tls = false, const std::string& address = "127.0.0.1");
    ~Nginx();
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    std::string Url(const std::string& path) const;
    std::string SelfSignedUrl(const std::string& path) const;
    std::string CaSignedUrl(const std::string& path) const;
    std::string ClientCertUrl(const std::string& path) const;

    const std::string& dir() const { return dir_.name(); }
    std::string www() const { return dir() + "/www"; }
    std::string log() const { return dir() + "/access.log"; }
    // The CA that signed the second server's certificate and the client certificates.
    std::string ca() const { return dir() + "/ca.pem"; }
    // The self-signed server's certificate: a CA file that names no other peer.
    std::string self_signed() const { return dir() + "/self.pem"; }
    // Makes a client certificate signed by ca() with an RSA key encrypted under password in
    // `form` "pkcs8" or "traditional"; returns the stem: stem + ".pem" and stem + ".key".
    std::string ClientCert(const std::string& name, const std::string& form, const std::string& password) const;

    // Why nginx cannot run here, or "" when it can.
    static std::string Missing();

private:
    std::string UrlOf(const char* scheme, int port, const std::string& path) const;

    vux_file::TmpDir dir_{"/tmp/vuxnginx"};
    std::string address_;
    int http_ = 0, self_signed_ = 0, ca_signed_ = 0, client_cert_ = 0;
    int pid_ = -1;
};

// The Python stand-in (http_echo.py) on a free port: every request is answered 200 with
// "METHOD target\n", the request's header lines as received, an empty line and the body;
// /cookie/set?name=value answers with that Set-Cookie.
class HttpEcho {
public:
    explicit HttpEcho(const std::string& address = "127.0.0.1");
    ~HttpEcho();
    HttpEcho(const HttpEcho&) = delete;
    HttpEcho& operator=(const HttpEcho&) = delete;

    std::string Url(const std::string& path) const;
    int port() const { return port_; }

private:
    vux_file::TmpDir dir_{"/tmp/vuxecho"};
    std::string address_;
    int port_ = 0;
    int pid_ = -1;
};

}  // namespace peers

#endif
