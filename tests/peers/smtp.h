// An SMTP server (tests/peers/smtp_server.py, on Python's aiosmtpd) on a loopback address and a free port,
// writing each message it accepts, its envelope and what Python's email package reads in it into
// a scratch directory. Recipients at "rejected.test" are refused. The server goes with the object.
#ifndef LIBVUX_TESTS_PEERS_SMTP_H
#define LIBVUX_TESTS_PEERS_SMTP_H

#include <string>
#include <vector>

#include <json/json.h>

#include <libvux/vuxfile.h>

namespace peers {

class Smtp {
public:
    // kStall: plain, but the server never answers the message data.
    enum Mode { kPlain, kSmtps, kStartTls, kStall };
    static const char* const kUser;
    static const char* const kPassword;

    // With `auth`, mail is accepted only after a login as kUser (PLAIN or LOGIN).
    // Throws std::runtime_error when aiosmtpd is missing or the server does not answer.
    explicit Smtp(Mode mode = kPlain, bool auth = false, const std::string& address = "127.0.0.1");
    ~Smtp();
    Smtp(const Smtp&) = delete;
    Smtp& operator=(const Smtp&) = delete;

    int port() const { return port_; }
    // One record per accepted message, in order: "mail_from", "rcpt_tos", "authenticated",
    // "tls" and "message" (headers, subject, from, to, cc, bcc, message_id, parts with base64
    // "data", defects), as smtp_server.py describes them.
    std::vector<Json::Value> Received() const;
    // The data of message n (from 1) as received.
    std::string Raw(int n) const;
    // Why the server cannot run here, or "" when it can.
    static std::string Missing();

private:
    vux_file::TmpDir dir_{"/tmp/vuxsmtp"};
    int port_ = 0;
    int pid_ = -1;
};

}  // namespace peers

#endif
