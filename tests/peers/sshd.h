// OpenSSH's server on 127.0.0.1 for tests and benchmarks, with a test account it lets in by
// password or by key. The account, its keys and the host keys are made once and shared; the
// suite's own server runs on port 2222 for a whole test run, and a test may start a server of
// its own (other host keys, keyboard-interactive login, one to stop mid-command).
#ifndef LIBVUX_TESTS_PEERS_SSHD_H
#define LIBVUX_TESTS_PEERS_SSHD_H

#include <string>
#include <vector>

namespace peers {

// The account every server here lets in; its home holds authorized_keys with the public halves
// of the four user keys.
struct SshAccount {
    std::string user;
    std::string password;
    // Private keys: "rsa", "ed25519" without a passphrase, "rsa_pw", "ed25519_pw" with `passphrase`.
    std::string keys_dir;
    std::string passphrase;
    std::string Key(const std::string& name) const { return keys_dir + "/" + name; }
};

class Sshd {
public:
    struct Config {
        // Host key types offered: "ed25519", "ecdsa", "rsa".
        std::vector<std::string> host_keys{"ed25519", "ecdsa", "rsa"};
        // Logins by keyboard-interactive only (through PAM) instead of password and key.
        bool keyboard_interactive = false;
    };

    // A server of this process on a free port. Throws std::runtime_error when sshd is missing or
    // does not answer within 10 seconds.
    explicit Sshd(const Config& config);
    Sshd() : Sshd(Config()) {}
    ~Sshd();
    Sshd(const Sshd&) = delete;
    Sshd& operator=(const Sshd&) = delete;

    int port() const { return port_; }
    // Stops the listener and every connection it serves.
    void Stop();

    // The public host key of a type, as "ssh-ed25519 AAAA...".
    static std::string HostKey(const std::string& type);
    // Why sshd cannot run here, or "" when it can.
    static std::string Missing();

    // The suite's server: started once per run (by the test fixture, or else by the first
    // process that asks, which then stops it at its exit). Returns its port.
    static int Suite();
    // For the fixture: start the suite's server and the account and leave them running;
    // remove them again.
    static void StartSuite();
    static void StopSuite();

private:
    std::string dir_;
    int port_ = 0;
    int pid_ = -1;
};

// Made on first use (useradd, chpasswd, ssh-keygen).
const SshAccount& TestAccount();

}  // namespace peers

#endif
