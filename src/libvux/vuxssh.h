// Shell commands on a remote host over SSH (libssh2): password, keyboard-interactive or
// public-key login, known-hosts checking, and any number of commands on one connection.
#ifndef LIBVUX_VUXSSH_H
#define LIBVUX_VUXSSH_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

#include <libvux/vuxrpc.h>

VUX_API_BEGIN

namespace vux_rpc {

// Bit flags: 1 checks nothing (the default); any value above 1 checks the server's key against
// the known-hosts file. 4 adds an unknown host's key; 8 also replaces a changed one; 16 writes
// new entries under the bare host name even for a port other than 22 (else "[host]:port").
enum HostKeyAction {
    HostKeyIgnore = 1,
    HostKeyCheck = 2,
    HostKeyAdd = 4,
    HostKeyReplace = 8,
    HostKeyPlainName = 16,
};

inline HostKeyAction operator|(HostKeyAction a, HostKeyAction b) {
    return static_cast<HostKeyAction>(static_cast<int>(a) | static_cast<int>(b));
}

// The server's key types, numbered as the SSH library numbers them.
enum HostKeyType {
    HostKeyRSA = 1,
    HostKeyDSS = 2,
    HostKeyECDSA256 = 3,
    HostKeyECDSA384 = 4,
    HostKeyECDSA521 = 5,
    HostKeyED25519 = 6,
};

// Type "ssh", object "ssh_obj_connect", with the message "detail" = "ssh_detail_" + detail:
// the connection, the handshake or the login failed.
class ConnectErr : public Fail {
public:
    explicit ConnectErr(const std::string& value, const std::string& detail = "connect");
};

// Type "ssh", object "ssh_obj_internal", detail "ssh_detail_internal": the session or a channel
// failed after login (the connection lost included).
class InternalErr : public Fail {
public:
    explicit InternalErr(const std::string& value);
};

// One connection; each command runs on a channel of its own and carries a fresh six-digit
// identifier in every log line about it. Copies share the connection; one thread at a time.
// Errors of the wrong key or of an unknown or changed host key are vux_rpc::Fail of type "ssh"
// with the objects "ssh_obj_privkey", "ssh_obj_pubkey" and "ssh_obj_hostkey".
class SSH {
public:
    struct VUX_INTERNAL Implementation;

    // A dummy: using it asserts.
    SSH() {}
    SSH(const std::string& host, const std::string& user, int port = 22);
    virtual ~SSH();

    // Any earlier connection is dropped first. Throws ConnectErr, or Fail "hostkey"; a failed
    // login leaves the session open for Disconnect.
    SSH& Connect();
    // Collects the running command, if any; never throws.
    void Disconnect();

    // Collects the previous command, connects when there is no session, and starts `command`.
    SSH& Execute(const std::string& command);
    // The command's standard input and output. Reading past a time-out or a lost connection
    // sets badbit; Out().readsome() takes only what has arrived. After Result they throw
    // InternalErr.
    std::ostream& In();
    std::istream& Out();
    // The rest of the standard output.
    std::string Str();
    // Flushes the standard input and sends its end.
    SSH& CloseIn();
    // Waits for the command's end (discarding unread output) and returns its exit status: -1 for
    // a command ended by a signal, -100501 after a time-out; again the same on a repeated call.
    // A connection lost meanwhile throws InternalErr, and the next Execute connects again.
    int Result();

    // Checking happens at the next Connect.
    SSH& EnableVerifyHostKey(const std::string& known_hosts_file, HostKeyAction action);
    // Bytes buffered on each direction of the next commands.
    SSH& SetBufferSize(std::size_t size);
    // Seconds any one wait for the server may last (default 300); 0 waits without limit, and a
    // negative value gives up at the first wait.
    SSH& SetTimeout(int seconds);

protected:
    std::shared_ptr<Implementation> m_impl;

private:
    Implementation& Need(const char* func) const;
};

// Logs in with the password, or answers a keyboard-interactive prompt with it.
class SSHpass : public SSH {
public:
    SSHpass(const std::string& host, const std::string& user, const std::string& password, int port = 22);
};

// Logs in with the private key; its public half is read from private_key_file + ".pub", which
// is made with "ssh-keygen -y" when missing. Throws Fail "privkey" for a missing private key and
// Fail "pubkey" when the public half cannot be made.
class SSHkey : public SSH {
public:
    SSHkey(const std::string& host, const std::string& user, const std::string& private_key_file,
           const std::string& passphrase, int port = 22);
};

}  // namespace vux_rpc

VUX_API_END

#endif
