#include <libvux/vuxssh.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libssh2.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <streambuf>
#include <vector>

#include <libvux/vuxcrypto.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>

#include "private/vuxsys.h"

VUX_LOG_MODULE("libvux")

namespace vux_rpc {

namespace {

const int kTimedOut = -100501;
const std::size_t kPutBack = 8;
const int kDisconnectByApplication = 11;
const int kDisconnectProtocolError = 10;

void InitOnce() {
    // Debian's libssh2 runs on OpenSSL: vux_crypto::Init makes that thread-safe, and libssh2
    // sets up its own backend.
    vux_crypto::Init();
    libssh2_init(0);
}

void InitLibrary() {
    static const bool done = (vux_thread::Init(&InitOnce), true);
    (void)done;
}

std::string FunctionErrorMsg(const char* name) {
    return std::string("function  '") + name + "' return error. Code '" + std::to_string(errno) + "'";
}

std::string GetSSHLastError(LIBSSH2_SESSION* session) {
    if (!session) return "Unknown ssh error: session is null";
    char* msg = nullptr;
    int len = 0;
    const int code = libssh2_session_last_error(session, &msg, &len, 0);
    if (!msg || len <= 0) return "Unknown ssh error (code " + std::to_string(code) + ")";
    return std::string(msg, static_cast<std::size_t>(len)) + " (code " + std::to_string(code) + ")";
}

std::string NewId() {
    return str::hex::Encode(str::Random(3));
}

bool Offers(const char* methods, const std::string& method) {
    const std::string list = std::string(",").append(methods).append(",");
    return list.find(std::string(",").append(method).append(",")) != std::string::npos;
}

// The known-hosts key type of a server key type; 0 for a type the file format does not name.
int KnownHostKeyType(int hostkey_type) {
    switch (hostkey_type) {
        case LIBSSH2_HOSTKEY_TYPE_RSA: return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
        case LIBSSH2_HOSTKEY_TYPE_DSS: return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
        case LIBSSH2_HOSTKEY_TYPE_ECDSA_256: return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
        case LIBSSH2_HOSTKEY_TYPE_ECDSA_384: return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
        case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
        case LIBSSH2_HOSTKEY_TYPE_ED25519: return LIBSSH2_KNOWNHOST_KEY_ED25519;
        default: return 0;
    }
}

}  // namespace

ConnectErr::ConnectErr(const std::string& value, const std::string& detail)
    : Fail("connect", detail, value) {}

InternalErr::InternalErr(const std::string& value) : Fail("internal", "internal", value) {}

struct SSH::Implementation {
    class ConnectImpl;
    class PassConnectImpl;
    class KeyConnectImpl;
    class KnownHosts;
    class ssh_buffer;
    class ssh_istream;
    class ssh_ostream;

    std::unique_ptr<std::istream> out;
    std::unique_ptr<std::ostream> in;
    std::vector<std::string> params;
    std::string known_hosts;
    int sock = -1;
    int port = 22;
    LIBSSH2_SESSION* session = nullptr;
    LIBSSH2_CHANNEL* channel = nullptr;
    int action = HostKeyIgnore;
    bool collected = true;
    bool timed_out = false;
    int status = -1;
    int timeout = 300;
    std::string id = NewId();
    std::size_t buffer_size = 65536;
    std::shared_ptr<ConnectImpl> strategy;

    ~Implementation() { Disconnect(); }

    const std::string& host() const { return params[0]; }
    const std::string& user() const { return params[1]; }

    void Connect();
    void Disconnect();
    void SystemEx(const std::string& command);
    int Result();
    void CloseIn();
    int WaitSocket();
    void VerifyHostKey();

    // Calls step until it stops asking to be called again, waiting for the socket between
    // calls; what it finally returned, or what stopped the wait.
    template <class F>
    int Await(F&& step) {
        for (;;) {
            const int rc = step();
            if (rc != LIBSSH2_ERROR_EAGAIN) return rc;
            const int wait = WaitSocket();
            VUX_LOG(VuxLogModule(), 9, "%s:%d waitsocket = %d", "vuxssh_unix", __LINE__, wait);
            if (wait != 0) return wait;
        }
    }

    void CloseChannel();
    // The text of a wait or call that failed with rc.
    std::string FailureText(int rc) const;
    // Lets the connection go without talking to the server (it is gone or broken).
    void Drop();
};

// A stream buffer over the channel's stream 0: reading gives the remote standard output,
// writing feeds the remote standard input.
class SSH::Implementation::ssh_buffer : public std::streambuf {
public:
    ssh_buffer(Implementation& impl, std::size_t size)
        : impl_(impl), size_(std::max(kPutBack, size)), buf_(size_ + kPutBack) {
        setg(buf_.data() + kPutBack, buf_.data() + kPutBack, buf_.data() + kPutBack);
        setp(buf_.data(), buf_.data() + buf_.size());
    }

protected:
    int_type underflow() override {
        if (gptr() == egptr() && Fill(true) <= 0) return traits_type::eof();
        return traits_type::to_int_type(*gptr());
    }

    // What can be read without waiting; -1 at the end.
    std::streamsize showmanyc() override {
        const int filled = Fill(false);
        return filled < 0 ? -1 : egptr() - gptr();
    }

    int_type overflow(int_type c) override {
        Send();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

    int sync() override {
        Send();
        return 0;
    }

private:
    // Reads the next piece behind the put-back area: 1 when there is one, 0 when none came
    // without waiting, -1 at the end.
    int Fill(bool wait) {
        if (gptr() < egptr()) return 1;
        const std::size_t keep = std::min<std::size_t>(static_cast<std::size_t>(gptr() - eback()), kPutBack);
        std::memmove(buf_.data() + kPutBack - keep, gptr() - keep, keep);
        char* const start = buf_.data() + kPutBack;
        setg(start - keep, start, start);
        for (;;) {
            if (!impl_.channel || libssh2_channel_eof(impl_.channel)) return -1;
            const ssize_t n = libssh2_channel_read_ex(impl_.channel, 0, start, size_);
            if (n > 0) {
                setg(start - keep, start, start + n);
                return 1;
            }
            if (n == 0) return -1;
            if (n == LIBSSH2_ERROR_EAGAIN && !wait) return 0;
            if (n != LIBSSH2_ERROR_EAGAIN || Wait() != 0)
                throw std::ios_base::failure("SSH::underflow error reading stdout channel");
        }
    }

    int Wait() {
        const int rc = impl_.WaitSocket();
        VUX_LOG(VuxLogModule(), 9, "%s:%d waitsocket = %d", "vuxssh_unix", __LINE__, rc);
        return rc;
    }

    void Send() {
        const char* p = pbase();
        while (p < pptr()) {
            if (!impl_.channel) throw std::ios_base::failure("SSH::overflow error writing stdout channel");
            const ssize_t n = libssh2_channel_write_ex(impl_.channel, 0, p, static_cast<std::size_t>(pptr() - p));
            if (n >= 0) {
                p += n;
                continue;
            }
            if (n != LIBSSH2_ERROR_EAGAIN) throw std::ios_base::failure("SSH::overflow error writing stdout channel");
            if (Wait() != 0)
                throw std::ios_base::failure("waitsocket error '" + GetSSHLastError(impl_.session) + "'");
        }
        setp(buf_.data(), buf_.data() + buf_.size());
    }

    Implementation& impl_;
    std::size_t size_;
    std::vector<char> buf_;
};

class SSH::Implementation::ssh_istream : public std::istream {
public:
    ssh_istream(Implementation& impl, std::size_t size) : std::istream(nullptr), buf_(impl, size) { rdbuf(&buf_); }

private:
    ssh_buffer buf_;
};

class SSH::Implementation::ssh_ostream : public std::ostream {
public:
    ssh_ostream(Implementation& impl, std::size_t size) : std::ostream(nullptr), buf_(impl, size) { rdbuf(&buf_); }

private:
    ssh_buffer buf_;
};

// A libssh2 known-hosts collection bound to one file.
class SSH::Implementation::KnownHosts {
public:
    KnownHosts(LIBSSH2_SESSION* session, const std::string& file) : session_(session), file_(file) {
        if (!session_) throw InternalErr("KnownHosts: LIBSSH2_SESSION is NULL");
        hosts_ = libssh2_knownhost_init(session_);
        if (!hosts_) throw InternalErr("KnownHosts: Failed to init knownhost stucture: " + GetSSHLastError(session_));
        if (::access(file_.c_str(), F_OK) == 0 &&
            libssh2_knownhost_readfile(hosts_, file_.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH) < 0)
            throw InternalErr("KnownHosts: Failed to read known_hosts file: " + GetSSHLastError(session_));
    }
    virtual ~KnownHosts() { libssh2_knownhost_free(hosts_); }
    KnownHosts(const KnownHosts&) = delete;
    KnownHosts& operator=(const KnownHosts&) = delete;

    // One of LIBSSH2_KNOWNHOST_CHECK_*; `found` is the entry that matched or mismatched.
    int Check(const std::string& host, int port, const std::string& key, int type, libssh2_knownhost** found) {
        return libssh2_knownhost_checkp(hosts_, host.c_str(), port, key.data(), key.size(),
                                        LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_BASE64 | type, found);
    }

    void Add(const std::string& name, const std::string& key, int type, const std::string& comment) {
        if (libssh2_knownhost_addc(hosts_, name.c_str(), nullptr, key.data(), key.size(), comment.data(),
                                   comment.size(),
                                   LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_BASE64 | type, nullptr))
            throw InternalErr("KnownHosts: Failed to add hostkey to known_hosts: " + GetSSHLastError(session_));
    }

    void Delete(libssh2_knownhost* entry) {
        if (libssh2_knownhost_del(hosts_, entry))
            throw InternalErr("KnownHosts: Failed to delete hostkey: " + GetSSHLastError(session_));
    }

    // Through a file beside it, so that a failure never leaves the other hosts' entries cut.
    void Write() {
        const std::string tmp = file_ + ".vuxtmp" + str::hex::Encode(str::Random(4));
        struct stat st;
        const mode_t mode = ::stat(file_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
        if (libssh2_knownhost_writefile(hosts_, tmp.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0 ||
            ::chmod(tmp.c_str(), mode) != 0 || ::rename(tmp.c_str(), file_.c_str()) != 0) {
            const std::string error = GetSSHLastError(session_);
            ::unlink(tmp.c_str());
            throw InternalErr("KnownHosts: Failed to save hostkey to '" + file_ + "': " + error);
        }
    }

private:
    LIBSSH2_SESSION* session_;
    std::string file_;
    LIBSSH2_KNOWNHOSTS* hosts_ = nullptr;
};

// Opens the TCP connection, does the handshake and checks the host key; the strategies then
// log in.
class SSH::Implementation::ConnectImpl {
public:
    virtual void Connect(Implementation* impl);
    virtual ~ConnectImpl() {}

protected:
    // The methods the server offers this user.
    static std::string AuthList(Implementation* impl);

private:
    static void OpenSocket(Implementation* impl, const addrinfo* ai);
    static void WaitTcpSocket(Implementation* impl, short events);
    static void NewSession(Implementation* impl);
    static void DropAfterHandshake(Implementation* impl);
};

class SSH::Implementation::PassConnectImpl : public ConnectImpl {
public:
    void Connect(Implementation* impl) override;
};

class SSH::Implementation::KeyConnectImpl : public ConnectImpl {
public:
    void Connect(Implementation* impl) override;
};

namespace {

void TraceHandler(LIBSSH2_SESSION*, void*, const char* data, std::size_t length) {
    VUX_LOG(VuxLogModule(), 9, "%.*s", static_cast<int>(length), data);
}

LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(KbdIntCallBack) {
    (void)name;
    (void)name_len;
    (void)instruction;
    (void)instruction_len;
    (void)prompts;
    auto* impl = abstract ? static_cast<SSH::Implementation*>(*abstract) : nullptr;
    if (!impl) {
        VUX_LOG(VuxLogModule(), 4, "KbdIntCallBack: abstract is empty");
        return;
    }
    if (num_prompts != 1) return;
    const std::string& password = impl->params[2];
    // libssh2 frees the answer with its default deallocator, free().
    responses[0].text = static_cast<char*>(std::malloc(password.size() + 1));
    if (!responses[0].text) return;
    std::memcpy(responses[0].text, password.c_str(), password.size() + 1);
    responses[0].length = static_cast<unsigned int>(password.size());
}

}  // namespace

void SSH::Implementation::ConnectImpl::WaitTcpSocket(Implementation* impl, short events) {
    const int seconds = impl->timeout == 0 ? 10 : impl->timeout;
    pollfd p = {impl->sock, events, 0};
    for (int i = 0; i < seconds; ++i) {
        vux_thread::SetStateC("ssh_connect");
        const int rc = vux_sys::RetryAfterSignal([&] { return ::poll(&p, 1, 1000); });
        if (rc != 0) return;
    }
    throw ConnectErr("timeout");
}

void SSH::Implementation::ConnectImpl::OpenSocket(Implementation* impl, const addrinfo* ai) {
    impl->sock = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (impl->sock < 0) throw ConnectErr(FunctionErrorMsg("socket"));
    const int flags = ::fcntl(impl->sock, F_GETFL);
    if (flags < 0 || ::fcntl(impl->sock, F_SETFL, flags | O_NONBLOCK) < 0)
        VUX_LOG(VuxLogModule(), 4, "Failed to set socket nonblocking");
    if (::connect(impl->sock, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) throw ConnectErr(FunctionErrorMsg("connect"));
        WaitTcpSocket(impl, POLLOUT);
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(impl->sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            if (error != 0) errno = error;
            throw ConnectErr(FunctionErrorMsg("connect"));
        }
    }
    if (flags < 0 || ::fcntl(impl->sock, F_SETFL, flags & ~O_NONBLOCK) < 0)
        VUX_LOG(VuxLogModule(), 4, "Failed to clear nonblocking flag");
    // A command's end is several small packets in a row, which Nagle's algorithm would hold
    // back for the peer's delayed acknowledgement.
    const int on = 1;
    ::setsockopt(impl->sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SSH::Implementation::ConnectImpl::NewSession(Implementation* impl) {
    impl->session = libssh2_session_init_ex(nullptr, nullptr, nullptr, impl);
    if (!impl->session) throw ConnectErr("Unknown ssh error: session is null");
    if (impl->timeout > 0) libssh2_session_set_timeout(impl->session, impl->timeout * 1000L);
    libssh2_session_set_blocking(impl->session, 1);
    libssh2_trace_sethandler(impl->session, impl, &TraceHandler);
    libssh2_trace(impl->session, LIBSSH2_TRACE_ERROR | LIBSSH2_TRACE_SCP | LIBSSH2_TRACE_CONN | LIBSSH2_TRACE_AUTH);
}

void SSH::Implementation::ConnectImpl::DropAfterHandshake(Implementation* impl) {
    libssh2_session_disconnect_ex(impl->session, kDisconnectProtocolError, "Handshake error", "");
    libssh2_session_free(impl->session);
    impl->session = nullptr;
    ::shutdown(impl->sock, SHUT_RDWR);
    ::close(impl->sock);
    impl->sock = -1;
}

void SSH::Implementation::ConnectImpl::Connect(Implementation* impl) {
    impl->Disconnect();
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(impl->host().c_str(), std::to_string(impl->port).c_str(), &hints, &found) != 0 || !found)
        throw ConnectErr(FunctionErrorMsg("getaddrinfo"));
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, &::freeaddrinfo);
    const int kAttempts = 10;
    for (int remaining = kAttempts;; --remaining) {
        OpenSocket(impl, addresses.get());
        NewSession(impl);
        const int rc = libssh2_session_handshake(impl->session, impl->sock);
        if (rc == 0) break;
        if ((rc == LIBSSH2_ERROR_SOCKET_RECV || rc == LIBSSH2_ERROR_SOCKET_DISCONNECT) && remaining > 1) {
            DropAfterHandshake(impl);
            vux_proc::Sleep(500);
            VUX_LOG(VuxLogModule(), 6, "ssh handshake error '%d'. retrying, %d retries remaining", rc, remaining);
            continue;
        }
        VUX_LOG(VuxLogModule(), 3, "ssh handshake error '%d'", rc);
        throw ConnectErr(GetSSHLastError(impl->session));
    }
    libssh2_keepalive_config(impl->session, 1, 10);
    impl->VerifyHostKey();
}

std::string SSH::Implementation::ConnectImpl::AuthList(Implementation* impl) {
    for (;;) {
        const char* list = libssh2_userauth_list(impl->session, impl->user().c_str(),
                                                 static_cast<unsigned int>(impl->user().size()));
        if (list) return list;
        if (libssh2_userauth_authenticated(impl->session)) return "";
        if (libssh2_session_last_errno(impl->session) != LIBSSH2_ERROR_EAGAIN || impl->WaitSocket() != 0)
            throw ConnectErr("Failed get list supported authentication methods: " + GetSSHLastError(impl->session));
    }
}

void SSH::Implementation::PassConnectImpl::Connect(Implementation* impl) {
    ConnectImpl::Connect(impl);
    const std::string methods = AuthList(impl);
    if (libssh2_userauth_authenticated(impl->session)) return;
    const std::string& user = impl->user();
    const std::string& password = impl->params[2];
    const unsigned int user_length = static_cast<unsigned int>(user.size());
    if (Offers(methods.c_str(), "password")) {
        if (libssh2_userauth_password_ex(impl->session, user.c_str(), user_length, password.c_str(),
                                         static_cast<unsigned int>(password.size()), nullptr))
            throw ConnectErr("Password authentification failed: " + GetSSHLastError(impl->session), "pass_auth");
    } else if (Offers(methods.c_str(), "keyboard-interactive")) {
        if (libssh2_userauth_keyboard_interactive_ex(impl->session, user.c_str(), user_length, &KbdIntCallBack))
            throw ConnectErr("Keyboard interactive authentification failed: " + GetSSHLastError(impl->session),
                             "pass_auth");
    } else {
        throw ConnectErr("Password authentification is not supported", "pass_auth");
    }
}

void SSH::Implementation::KeyConnectImpl::Connect(Implementation* impl) {
    ConnectImpl::Connect(impl);
    const std::string methods = AuthList(impl);
    if (libssh2_userauth_authenticated(impl->session)) return;
    if (!Offers(methods.c_str(), "publickey")) throw ConnectErr("Pubkey authentification is not supported", "pubkey_auth");
    const std::string& user = impl->user();
    const std::string& pub = impl->params[2];
    const std::string& priv = impl->params[3];
    VUX_LOG(VuxLogModule(), 6, "user = '%s', public = '%s', private = '%s'", user.c_str(), pub.c_str(), priv.c_str());
    if (libssh2_userauth_publickey_fromfile_ex(impl->session, user.c_str(), static_cast<unsigned int>(user.size()),
                                               pub.c_str(), priv.c_str(), impl->params[4].c_str()))
        throw ConnectErr("Pubkey authentification failed: " + GetSSHLastError(impl->session), "pubkey_auth");
}

void SSH::Implementation::VerifyHostKey() {
    if (action <= HostKeyIgnore) return;
    if (!session) throw InternalErr("Please connect first");
    KnownHosts hosts(session, known_hosts);
    std::size_t length = 0;
    int type = 0;
    const char* raw = libssh2_session_hostkey(session, &length, &type);
    if (!raw) throw InternalErr(GetSSHLastError(session));
    const std::string key = str::base64::Encode(std::string(raw, length));
    VUX_LOG(VuxLogModule(), 6, "id=%s Remote hostkey: \n%s", id.c_str(), key.c_str());
    const int key_type = KnownHostKeyType(type);
    if (!key_type) throw Fail("hostkey", "hostkey", "KnownHosts: Unknown hostkey type");
    libssh2_knownhost* entry = nullptr;
    switch (hosts.Check(host(), port, key, key_type, &entry)) {
        case LIBSSH2_KNOWNHOST_CHECK_MATCH:
            VUX_LOG(VuxLogModule(), 6, "id=%s Hostkey verified", id.c_str());
            return;
        case LIBSSH2_KNOWNHOST_CHECK_NOTFOUND: {
            VUX_LOG(VuxLogModule(), 6, "id=%s Hostkey not found", id.c_str());
            if (!(action & (HostKeyAdd | HostKeyReplace))) throw Fail("hostkey", "hostkey", "hostkey not found");
            const bool bracketed = port != 22 && !(action & HostKeyPlainName);
            const std::string name = bracketed ? std::string("[").append(host()).append("]:").append(std::to_string(port)) : host();
            hosts.Add(name, key, key_type, "Added by libssh2");
            hosts.Write();
            VUX_LOG(VuxLogModule(), 6, "id=%s Hostkey added", id.c_str());
            return;
        }
        case LIBSSH2_KNOWNHOST_CHECK_MISMATCH: {
            VUX_LOG(VuxLogModule(), 6, "id=%s Hostkey mismatch", id.c_str());
            if (!(action & HostKeyReplace)) throw Fail("hostkey", "hostkey", "hostkey changed");
            // The replacement keeps the name the old entry was found under.
            const std::string name = entry->name ? entry->name : host();
            hosts.Delete(entry);
            hosts.Add(name, key, key_type, "Replaced by libssh2");
            hosts.Write();
            VUX_LOG(VuxLogModule(), 6, "id=%s Hostkey replaced", id.c_str());
            return;
        }
        default:
            throw Fail("hostkey", "hostkey", "KnownHosts: Failed to verify hostkey: " + GetSSHLastError(session));
    }
}

void SSH::Implementation::Connect() {
    if (!strategy) throw ConnectErr("Connection implementation not set");
    strategy->Connect(this);
}

void SSH::Implementation::Drop() {
    if (channel) libssh2_channel_free(channel);
    channel = nullptr;
    if (session) libssh2_session_free(session);
    session = nullptr;
    if (sock >= 0) {
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
    }
    sock = -1;
}

void SSH::Implementation::Disconnect() {
    try {
        if (!collected) Result();
    } catch (const vux_err::Error&) {
        // Logged where it was built; the connection goes anyway.
    }
    if (session) {
        libssh2_session_set_blocking(session, 1);
        libssh2_session_disconnect_ex(session, kDisconnectByApplication, "Normal shutdown", "");
    }
    Drop();
}

int SSH::Implementation::WaitSocket() {
    if (timed_out) return kTimedOut;
    VUX_LOG(VuxLogModule(), 9, "%s:%d id=%s wait socket", "vuxssh_unix", __LINE__, id.c_str());
    const int directions = libssh2_session_block_directions(session);
    pollfd p = {sock, 0, 0};
    if (directions & LIBSSH2_SESSION_BLOCK_INBOUND || !directions) p.events |= POLLIN;
    if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND) p.events |= POLLOUT;
    for (int idle = 0;;) {
        if (timeout < 0 || (timeout > 0 && idle >= timeout)) {
            VUX_LOG(VuxLogModule(), 5, "id=%s Timeout was reached", id.c_str());
            timed_out = true;
            return kTimedOut;
        }
        if (timeout == 0 && idle >= 10) return 0;
        vux_thread::SetStateC("ssh");
        const int rc = ::poll(&p, 1, 1000);
        if (rc < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            VUX_LOG(VuxLogModule(), 4, "id=%s WaitSocket: poll error: %s", id.c_str(), std::strerror(error));
            return error;
        }
        if (rc > 0) {
            // What is still readable on a closed connection goes to libssh2 first.
            if (p.revents & p.events) return 0;
            VUX_LOG(VuxLogModule(), 4, "id=%s WaitSocket: poll error: %d", id.c_str(), static_cast<int>(p.revents));
            return 1;
        }
        ++idle;
        int next = 0;
        const int sent = libssh2_keepalive_send(session, &next);
        VUX_LOG(VuxLogModule(), 9, "%s:%d keepalive return: %d seconds_to_next: %d", "vuxssh_unix", __LINE__, sent, next);
        if (sent < 0) {
            VUX_LOG(VuxLogModule(), 3, "keepalive send error, code: %d", sent);
            return sent;
        }
    }
}

std::string SSH::Implementation::FailureText(int rc) const {
    if (rc < 0 && rc != kTimedOut) return GetSSHLastError(session);
    return "connection lost (wait returned " + std::to_string(rc) + ")";
}

void SSH::Implementation::SystemEx(const std::string& command) {
    if (!collected) Result();
    if (!session) Connect();
    if (!session) throw InternalErr("m_sess = NULL");
    timed_out = false;
    VUX_LOG(VuxLogModule(), 6, "id=%s execute", id.c_str());
    VUX_LOG(VuxLogModule(), 5, "id=%s Run ssh command '%s' on %s@%s", id.c_str(), command.c_str(), user().c_str(),
            host().c_str());
    for (int tries = 0;; ++tries) {
        channel = libssh2_channel_open_ex(session, "session", 7, 0x200000, 32768, nullptr, 0);
        if (channel) break;
        if (libssh2_session_last_errno(session) != LIBSSH2_ERROR_EAGAIN || tries >= 300)
            throw InternalErr(GetSSHLastError(session));
        VUX_LOG(VuxLogModule(), 8, "%s failed to open ssh session, retrying", "SystemEx");
        vux_proc::Sleep(200);
    }
    // Unread standard error would hold the channel's window and stall the command.
    libssh2_channel_handle_extended_data2(channel, LIBSSH2_CHANNEL_EXTENDED_DATA_IGNORE);
    for (;;) {
        const int rc = libssh2_channel_process_startup(channel, "exec", 4, command.data(),
                                                       static_cast<unsigned int>(command.size()));
        if (rc == 0) break;
        if (rc != LIBSSH2_ERROR_EAGAIN) {
            const std::string error = GetSSHLastError(session);
            libssh2_channel_free(channel);
            channel = nullptr;
            throw InternalErr("Failed to run command '" + command + "' on the remote host: " + error);
        }
        VUX_LOG(VuxLogModule(), 8, "%s failed to execute command, retrying", "SystemEx");
        vux_proc::Sleep(200);
    }
    libssh2_channel_set_blocking(channel, 0);
    out = std::make_unique<ssh_istream>(*this, buffer_size);
    in = std::make_unique<ssh_ostream>(*this, buffer_size);
    collected = false;
}

void SSH::Implementation::CloseIn() {
    in->flush();
    const int rc = Await([&] { return libssh2_channel_send_eof(channel); });
    if (!*in || (rc != 0 && rc != kTimedOut))
        throw InternalErr("Write to ssh channel failed: " + FailureText(rc));
}

void SSH::Implementation::CloseChannel() {
    // A failed flush shows in the stream; what counts now is how the command ended.
    in->flush();
    int rc = Await([&] { return libssh2_channel_send_eof(channel); });
    // Output nobody read is dropped, so that the command can run to its end.
    if (rc == 0) {
        rc = Await([&] {
            libssh2_channel_flush_ex(channel, LIBSSH2_CHANNEL_FLUSH_ALL);
            return libssh2_channel_wait_eof(channel);
        });
    }
    if (rc != 0 && rc != kTimedOut) {
        const std::string error = FailureText(rc);
        Drop();
        throw InternalErr("Connection lost while the command ran: " + error);
    }
    libssh2_session_set_blocking(session, 1);
    if (timeout > 0) libssh2_session_set_timeout(session, timeout * 1000L);
    if (libssh2_channel_close(channel) != 0 && !timed_out) {
        const std::string error = GetSSHLastError(session);
        Drop();
        throw InternalErr("Connection lost while the command ran: " + error);
    }
    status = libssh2_channel_get_exit_status(channel);
    char* signal = nullptr;
    libssh2_channel_get_exit_signal(channel, &signal, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (signal) {
        // No exit status comes with a signal: 0 would read as success.
        VUX_LOG(VuxLogModule(), 5, "id=%s Ssh command killed by signal %s", id.c_str(), signal);
        libssh2_free(session, signal);
        status = -1;
    }
    if (timed_out && status == 0) status = kTimedOut;
    libssh2_channel_free(channel);
    channel = nullptr;
}

int SSH::Implementation::Result() {
    if (collected) return status;
    collected = true;
    status = -1;
    if (channel) CloseChannel();
    VUX_LOG(VuxLogModule(), 5, "id=%s Ssh command finished with status %d", id.c_str(), status);
    id = NewId();
    return status;
}

SSH::SSH(const std::string& host, const std::string& user, int port) : m_impl(std::make_shared<Implementation>()) {
    InitLibrary();
    m_impl->params = {host, user};
    m_impl->port = port;
}

SSH::~SSH() {}

SSH::Implementation& SSH::Need(const char* func) const {
    if (!m_impl) vux_err::AssertError::Raise(VUX_SOURCE_NAME, __LINE__, func, "dummy SSH handle");
    return *m_impl;
}

SSH& SSH::Connect() {
    Need(__PRETTY_FUNCTION__).Connect();
    return *this;
}

void SSH::Disconnect() {
    Need(__PRETTY_FUNCTION__).Disconnect();
}

SSH& SSH::Execute(const std::string& command) {
    Need(__PRETTY_FUNCTION__).SystemEx(command);
    return *this;
}

std::ostream& SSH::In() {
    Implementation& d = Need(__PRETTY_FUNCTION__);
    if (d.collected) throw InternalErr("Write to closed ssh chanel");
    VUX_ASSERT(d.in, "Input stream not available");
    return *d.in;
}

std::istream& SSH::Out() {
    Implementation& d = Need(__PRETTY_FUNCTION__);
    if (d.collected) throw InternalErr("Read from closed ssh chanel");
    VUX_ASSERT(d.out, "Output stream not available");
    return *d.out;
}

std::string SSH::Str() {
    std::istream& out = Out();
    std::string text;
    std::vector<char> block(Need(__PRETTY_FUNCTION__).buffer_size);
    while (out.read(block.data(), static_cast<std::streamsize>(block.size())) || out.gcount() > 0)
        text.append(block.data(), static_cast<std::size_t>(out.gcount()));
    // A cut output must not pass for the whole of it.
    if (out.bad())
        throw InternalErr(m_impl->timed_out ? "Read from ssh channel failed: Timeout was reached"
                                            : "Read from ssh channel failed: " + GetSSHLastError(m_impl->session));
    return text;
}

SSH& SSH::CloseIn() {
    In();
    m_impl->CloseIn();
    return *this;
}

int SSH::Result() {
    return Need(__PRETTY_FUNCTION__).Result();
}

SSH& SSH::EnableVerifyHostKey(const std::string& known_hosts_file, HostKeyAction action) {
    Implementation& d = Need(__PRETTY_FUNCTION__);
    d.known_hosts = known_hosts_file;
    d.action = action;
    return *this;
}

SSH& SSH::SetBufferSize(std::size_t size) {
    Need(__PRETTY_FUNCTION__).buffer_size = size;
    return *this;
}

SSH& SSH::SetTimeout(int seconds) {
    Need(__PRETTY_FUNCTION__).timeout = seconds;
    return *this;
}

SSHpass::SSHpass(const std::string& host, const std::string& user, const std::string& password, int port)
    : SSH(host, user, port) {
    m_impl->params.push_back(password);
    m_impl->strategy = std::make_shared<Implementation::PassConnectImpl>();
}

namespace {

bool FileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// The public half of the key, written by ssh-keygen into a file of its own making.
void MakePublicKey(const std::string& priv, const std::string& passphrase, const std::string& pub) {
    const int fd = ::open(pub.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw Fail("pubkey", "pubkey", "Private key '" + priv + ".pub' failed to open");
    const ResHandle file(fd);
    ::fchmod(fd, 0644);
    int status = -1;
    try {
        // Standard input is /dev/null, so that a wrong passphrase fails rather than asks.
        const std::string command = passphrase.empty() ? "ssh-keygen -y -f \"$PRIV\"" : "ssh-keygen -y -P \"$PASS\" -f \"$PRIV\"";
        status = vux_proc::Execute(command, 0)
                     .SetEnv("PRIV", priv)
                     .SetEnv("PASS", passphrase)
                     .RedirectInTo(ResHandle())
                     .RedirectOutTo(file)
                     .Run()
                     .Result();
    } catch (const vux_err::Error&) {
        status = -1;
    }
    if (status != 0) {
        // An empty file would be taken for the key next time.
        ::unlink(pub.c_str());
        throw Fail("pubkey", "pubkey", "Failed to get public key by private '" + priv + "'");
    }
}

}  // namespace

SSHkey::SSHkey(const std::string& host, const std::string& user, const std::string& private_key_file,
               const std::string& passphrase, int port)
    : SSH(host, user, port) {
    if (!FileExists(private_key_file))
        throw Fail("privkey", "privkey", "Private key '" + private_key_file + "' not found");
    const std::string pub = private_key_file + ".pub";
    if (!FileExists(pub)) MakePublicKey(private_key_file, passphrase, pub);
    m_impl->params.insert(m_impl->params.end(), {pub, private_key_file, passphrase});
    m_impl->strategy = std::make_shared<Implementation::KeyConnectImpl>();
}

}  // namespace vux_rpc
