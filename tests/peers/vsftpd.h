// vsftpd on 127.0.0.1 and a free port, with a local user whose root is a scratch directory and
// an anonymous area beside it. It runs in a mount namespace of its own, where copies of the
// user databases carry the local user, so the system's files are never touched; its
// configuration and log stay in the scratch directory and the server goes with the object.
#ifndef LIBVUX_TESTS_PEERS_VSFTPD_H
#define LIBVUX_TESTS_PEERS_VSFTPD_H

#include <cstddef>
#include <string>

#include <libvux/vuxfile.h>

namespace peers {

class Vsftpd {
public:
    struct Options {
        // Explicit TLS with a self-signed certificate, required of the local user's logins and
        // data (anonymous logins may still go plain).
        bool tls = false;
        // When set, the directory "small" of the local user is a file system of this many KiB.
        std::size_t small_kib = 0;
    };

    static const char* const kUser;
    static const char* const kPassword;

    // Throws std::runtime_error when vsftpd is missing or does not answer within 10 seconds.
    explicit Vsftpd(const Options& options);
    Vsftpd() : Vsftpd(Options()) {}
    ~Vsftpd();
    Vsftpd(const Vsftpd&) = delete;
    Vsftpd& operator=(const Vsftpd&) = delete;

    // scheme "ftp" or "ftps"; the path is taken relative to the login directory.
    std::string Url(const std::string& scheme = "ftp", const std::string& path = "") const;
    int port() const { return port_; }
    // On-disk roots of the local user and of anonymous logins.
    std::string home() const { return dir_.name() + "/home"; }
    std::string anon() const { return dir_.name() + "/anon"; }
    // Every command and response so far (the password masked by the server).
    std::string Log() const;
    // Why vsftpd cannot run here, or "" when it can.
    static std::string Missing();

private:
    void Stop();

    vux_file::TmpDir dir_{"/tmp/vuxftp"};
    int port_ = 0;
    int pid_ = -1;
};

}  // namespace peers

#endif
