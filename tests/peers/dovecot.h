// Dovecot on 127.0.0.1 with IMAP and POP3, each on a plain (STARTTLS-capable) and an implicit-TLS
// port, a self-signed certificate, and one passwd-file account whose maildir lies in a scratch
// directory. The configuration is written there; the system's is never read. The server goes
// with the object.
#ifndef LIBVUX_TESTS_PEERS_DOVECOT_H
#define LIBVUX_TESTS_PEERS_DOVECOT_H

#include <string>
#include <vector>

#include <libvux/vuxfile.h>

namespace peers {

class Dovecot {
public:
    static const char* const kUser;
    static const char* const kPassword;

    // Throws std::runtime_error when Dovecot is missing or does not answer within 10 seconds.
    Dovecot();
    ~Dovecot();
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    int imap_port() const { return imap_; }
    int imaps_port() const { return imaps_; }
    int pop3_port() const { return pop3_; }
    int pop3s_port() const { return pop3s_; }

    // Puts a message into the account's INBOX, unread or already seen; returns its file name.
    std::string Deliver(const std::string& source, bool seen = false);
    // The messages in the INBOX as the server keeps them (maildir files, any order).
    std::vector<std::string> Messages() const;
    // How many of them carry the seen flag.
    int SeenCount() const;
    std::string Log() const;
    // Why Dovecot cannot run here, or "" when it can.
    static std::string Missing();

private:
    std::string Maildir() const { return dir_.name() + "/mail/" + kUser; }

    vux_file::TmpDir dir_{"/tmp/vuxdovecot"};
    unsigned uid_ = 0;
    int imap_ = 0, imaps_ = 0, pop3_ = 0, pop3s_ = 0;
    int pid_ = -1;
    int delivered_ = 0;
};

}  // namespace peers

#endif
