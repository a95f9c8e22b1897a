#include <libvux/vuxclient.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>

#include <libvux/vuxenv.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxrpc.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>

#include "private/vuxsys.h"

VUX_LOG_MODULE("rpc")

namespace vux_client {

namespace {

// Aborted replies a client repeats before it gives up.
const int kAttempts = 3;
// Core starts tried before a connection is given up.
const int kStartAttempts = 60;

thread_local std::string default_lang;

struct Hidden {
    std::mutex lock;
    std::set<std::string> names{"password", "confirm", "confirmgen", "passwdgen", "passwd", "authinfo"};
};

Hidden& HiddenNames() {
    static Hidden hidden;
    return hidden;
}

// The query as it may be logged: the values of hidden parameters are "*".
std::string Masked(const std::string& query) {
    std::string out;
    std::size_t start = 0;
    for (;;) {
        std::size_t amp = query.find('&', start);
        std::string piece = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        std::size_t eq = piece.find('=');
        if (eq != std::string::npos && ParamIsHidden(piece.substr(0, eq))) {
            piece.resize(eq + 1);
            piece += '*';
        }
        out.append(piece);
        if (amp == std::string::npos) return out;
        out.append("&");
        start = amp + 1;
    }
}

bool HasParam(const std::string& query, const std::string& name) {
    return query.compare(0, name.size() + 1, name + "=") == 0 || query.find("&" + name + "=") != std::string::npos;
}

// The socket paths to try, in order, for one connection attempt.
StringVector SocketPaths(const std::string& name, bool admin) {
    if (!admin) return {"tmp/" + name + ".sock"};
    if (vux_env::GetEnv("VUX_INTERNAL") == name) return {"tmp/" + name + ".adm.internal", "tmp/" + name + ".adm.sock"};
    return {"tmp/" + name + ".adm.sock"};
}

int ConnectTo(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw vux_err::System("socket", errno);
    vux_thread::SetStateC("connect");
    if (vux_sys::RetryAfterSignal([&] { return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr); }) == 0)
        return fd;
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

// Runs in the forked child, so only async-signal-safe calls.
[[noreturn]] void StartDetached(const std::string& name) {
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
        for (int fd = ::getdtablesize() - 1; fd >= 3; --fd) ::close(fd);
    ::setpgid(0, 0);
    ::signal(SIGCHLD, SIG_IGN);
    if (::fork() == 0) ::execl("bin/core", "bin/core", name.c_str(), static_cast<char*>(nullptr));
    ::_exit(1);
}

std::string ReadReply(Protocol& p) {
    std::stringstream reply;
    char block[1024];
    while (std::size_t n = p.GetAnswer(block, sizeof block)) reply.write(block, static_cast<std::streamsize>(n));
    return reply.str();
}

vux_xml::Xml Exchange(int fd, const std::string& address, const std::string& query) {
    Protocol p;
    ResHandle socket(fd);
    p.set_in(new vux_stream::Stream(vux_stream::Stream::Socket(socket), std::ios_base::in));
    p.set_out(new HalfStream(socket));
    p.SendEnv("REQUEST_METHOD=POST");
    p.SendEnv("REMOTE_ADDR=" + address);
    p.SendEnv("SERVER_ADDR=" + address);
    p.SendEnv("CONTENT_LENGTH=" + std::to_string(query.size()));
    p.SendRequest(query.data(), query.size());
    p.RequestComplete();
    std::istringstream reply(ReadReply(p));
    return vux_xml::Xml(reply);
}

// An error received from a core, rendering exactly as it came.
class RemoteError : public vux_err::Error {
public:
    RemoteError(const vux_xml::Xml& copy)
        : vux_err::Error(Attr(copy, "type"), Attr(copy, "object"), copy.GetNode(kValue).Str()) {
        xml().SetRoot(copy.GetRoot());
    }

    static constexpr const char* kValue = "/doc/error//param[@name='value']";

private:
    static std::string Attr(const vux_xml::Xml& copy, const char* name) {
        return copy.GetNode("/doc/error").GetProp(name);
    }
};

[[noreturn]] void ThrowRemote(const vux_xml::XmlNode& error, bool relocalize) {
    vux_xml::XmlNode received = error;
    received.SetProp("external", "yes");
    vux_xml::Xml copy;
    vux_xml::XmlNode e = copy.GetRoot().AppendChild(received);
    if (e.GetProp("type").empty() && e.GetProp("object").empty() && copy.GetNode(RemoteError::kValue).Str().empty()) {
        e.SetProp("type", "remote").SetProp("object", "query");
        e.AppendChild("param", received.Str()).SetProp("name", "value");
    }
    if (relocalize) {
        copy.RemoveNodes("/doc/error/msg|/doc/error/group|/doc/error/detail");
        e.DropProp("lang");
    }
    throw RemoteError(copy);
}

}  // namespace

Fail::Fail(const std::string& object) : vux_err::Error("client", object) {}
Fail::Fail(const std::string& object, const std::string& value) : vux_err::Error("client", object, value) {}

Result::Result(const vux_xml::Xml& reply, bool relocalize, bool wait_locked) : vux_xml::Xml(reply) {
    if (VuxLogModule().Check(9))
        VuxLogModule().Write(9, "%s:%d Result xml: %s", VUX_SOURCE_NAME, __LINE__, Str().c_str());
    vux_xml::XmlNode error = GetNode("/doc/error");
    if (!error) return;
    if (wait_locked && error.GetProp("type") == "request_failed") {
        aborted_ = true;
        return;
    }
    ThrowRemote(error, relocalize);
}

std::string Result::value(const std::string& name) const {
    vux_xml::XmlNode root = GetRoot();
    return root ? root.FindNode(name).Str() : std::string();
}

bool Result::is_ok() const {
    vux_xml::XmlNode root = GetRoot();
    return root && root.FindNode("ok");
}

vux_xml::XPath Result::elems() const {
    return GetNodes("/doc/elem");
}

Client::~Client() = default;

Result Client::Query(const std::string& query) {
    std::string q = str::Append(query, params_, "&");
    VUX_LOG(VuxLogModule(), 6, "Query('%s')", Masked(q).c_str());
    if (!HasParam(q, "lang") && !default_lang.empty()) q.append("&lang=").append(default_lang);
    if (!HasParam(q, "out")) q.append("&out=xml");
    return DoQuery(q);
}

Result Client::Query(const std::string& query, std::list<std::string>& args) {
    std::string q = query;
    std::size_t at = 0;
    for (const std::string& a : args) {
        at = q.find('?', at);
        if (at == std::string::npos) throw Fail("query_args", query);
        std::string encoded = str::url::Encode(a);
        q.replace(at, 1, encoded);
        at += encoded.size();
    }
    return Query(q);
}

Result Client::Query(const std::string& query, const std::string& a1) {
    std::list<std::string> args{a1};
    return Query(query, args);
}

Result Client::Query(const std::string& query, const std::string& a1, const std::string& a2) {
    std::list<std::string> args{a1, a2};
    return Query(query, args);
}

Result Client::Query(const std::string& query, const std::string& a1, const std::string& a2, const std::string& a3) {
    std::list<std::string> args{a1, a2, a3};
    return Query(query, args);
}

Result Client::Query(const std::string& query, const std::string& a1, const std::string& a2, const std::string& a3,
                     const std::string& a4) {
    std::list<std::string> args{a1, a2, a3, a4};
    return Query(query, args);
}

Result Client::Query(const std::string& query, const std::string& a1, const std::string& a2, const std::string& a3,
                     const std::string& a4, const std::string& a5) {
    std::list<std::string> args{a1, a2, a3, a4, a5};
    return Query(query, args);
}

Result Client::Query(const std::string& query, const std::string& a1, const std::string& a2, const std::string& a3,
                     const std::string& a4, const std::string& a5, const std::string& a6) {
    std::list<std::string> args{a1, a2, a3, a4, a5, a6};
    return Query(query, args);
}

Result Client::Query(const std::string& query, std::map<std::string, std::string>& params) {
    std::string q = query;
    for (const auto& [key, value] : params) str::inpl::Append(q, key + "=" + str::url::Encode(value), "&");
    return Query(q);
}

void Client::AddParam(const std::string& name, const std::string& value) {
    AddParams(str::url::Encode(name) + "=" + str::url::Encode(value));
}

void Client::AddParams(const std::string& params) {
    str::inpl::Append(params_, params, "&");
}

void Client::ClearParams() {
    params_.clear();
}

Client& Client::Relocalize(bool on) {
    relocalize_ = on;
    return *this;
}

Client& Client::WaitLocked(bool on) {
    wait_locked_ = on;
    return *this;
}

Client& Client::UnavailableTimeout(int seconds) {
    unavailable_timeout_ = seconds;
    return *this;
}

void Client::Restart() {
    const std::string pid = Query("func=exit").value("pid");
    if (pid.empty()) {
        VUX_LOG(VuxLogModule(), 4, "Unexpected result from 'exit' action");
        return;
    }
    for (unsigned long delay = 0; delay < 10000; delay += 100) {
        vux_proc::Sleep(delay);
        if (!Query("func=exit&pid=" + pid).is_ok()) return;
    }
    throw Fail("restart_fail");
}

Local::Local(const std::string& name, const std::string& address) : name_(name), address_(address) {}

Result Local::DoQuery(const std::string& query) {
    for (int attempt = 0; attempt < kAttempts;) {
        const int fd = IntConnect(name_, true);
        if (fd < 0) {
            if (!wait_locked_) throw Fail("locked");
            vux_proc::Sleep(2000);
            continue;
        }
        Result r(Exchange(fd, address_, query), relocalize_, wait_locked_);
        if (!r.is_aborted()) return r;
        ++attempt;
    }
    throw vux_err::Error("too_many_retry");
}

Remote::Remote(const std::string& url) : url_(url) {}

Remote& Remote::SetTimeout(unsigned long seconds) {
    timeout_ = static_cast<unsigned>(seconds);
    return *this;
}

namespace {

using Clock = std::chrono::steady_clock;

// The HTTP client's own failures are logged here and passed on.
template <class F>
void Fetch(F&& request) {
    try {
        request();
    } catch (const vux_err::UnavailableTimeout&) {
        throw;
    } catch (const std::exception& e) {
        VUX_LOG(VuxLogModule(), 4, "Fetch failed: %s", e.what());
        throw;
    }
}

void Reset(std::ostringstream& reply) {
    reply.str("");
    reply.clear();
}

// Everything up to and including the third "/" of the URL, or "" when it has fewer.
std::string UrlRoot(const std::string& url) {
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i, ++at)
        if ((at = url.find('/', at)) == std::string::npos) return "";
    return url.substr(0, at);
}

}  // namespace

Result Remote::DoQuery(const std::string& query) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::seconds(timeout_);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        vux_rpc::HttpQuery http;
        http.SetFollowRedirect(true).AcceptAnyResponse().AddHeader("QEX-Client", "5.275.0").SetHeader("User-Agent", " ");
        std::ostringstream reply;
        for (bool first = true;; first = false) {
            if (timeout_ && first) {
                const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now());
                http.SetTimeout(static_cast<std::size_t>(std::max<long>(1, left.count())));
            } else if (!first) {
                if (timeout_ && Clock::now() + std::chrono::seconds(2) >= deadline) throw Fail("unavailable", url_);
                // Without a deadline a locked core is not asked again at once either.
                vux_proc::Sleep(2000);
            }
            Reset(reply);
            Fetch([&] { http.Post(url_, query, reply); });
            if (http.Status() != 423 || !wait_locked_) break;
        }
        const std::string root = UrlRoot(url_);
        while (http.Status() == 503 && !root.empty() &&
               (unavailable_timeout_ == 0 || Clock::now() - start <= std::chrono::seconds(unavailable_timeout_))) {
            const std::string next = root + reply.str();
            Reset(reply);
            Fetch([&] { http.Get(next, reply); });
        }
        if (http.Status() == 503) throw vux_err::UnavailableTimeout();
        Result r(Parse(reply.str()), relocalize_, wait_locked_);
        if (!r.is_aborted()) return r;
    }
    throw vux_err::Error("too_many_retry");
}

vux_xml::Xml Remote::Parse(const std::string& text) const {
    try {
        std::istringstream in(text);
        return vux_xml::Xml(in);
    } catch (const vux_err::Error&) {
        if (text.empty()) throw Fail("unavailable", url_);
        Fail bad("bad_response", url_);
        bad.add_param("response", text);
        throw bad;
    }
}

HalfStream::HalfStream(const ResHandle& socket)
    : vux_stream::Stream(vux_stream::Stream::Socket(socket), std::ios_base::out), socket_(socket) {}

HalfStream::~HalfStream() {
    flush();
    ::shutdown(socket_.fd(), SHUT_WR);
}

Protocol::~Protocol() {
    delete out_;
    delete in_;
}

void Protocol::set_in(std::istream* in) {
    delete in_;
    in_ = in;
}

void Protocol::set_out(std::ostream* out) {
    delete out_;
    out_ = out;
}

void Protocol::SendEnv(const std::string& entry) {
    VUX_ASSERT(!env_sent_, "Enviroument already sent");
    const std::uint32_t length = static_cast<std::uint32_t>(entry.size());
    SendData(reinterpret_cast<const char*>(&length), sizeof length);
    SendData(entry.data(), entry.size());
}

void Protocol::SendRequest(const char* data, std::size_t length) {
    if (!env_sent_) {
        const std::uint32_t end = 0;
        SendData(reinterpret_cast<const char*>(&end), sizeof end);
        env_sent_ = true;
    }
    SendData(data, length);
}

void Protocol::SendData(const char* data, std::size_t length) {
    VUX_ASSERT(out_, "request already complete");
    vux_thread::SetStateC("write");
    if (!out_->write(data, static_cast<std::streamsize>(length))) throw Fail("write");
}

void Protocol::RequestComplete() {
    VUX_ASSERT(out_, "request already complete");
    SendRequest(nullptr, 0);
    if (!out_->flush()) throw Fail("write");
    set_out(nullptr);
}

std::size_t Protocol::GetAnswer(char* buffer, std::size_t length) {
    vux_thread::SetStateC("read");
    in_->read(buffer, static_cast<std::streamsize>(length));
    return static_cast<std::size_t>(in_->gcount());
}

std::string Protocol::GetEnv() {
    std::uint32_t length = 0;
    if (GetAnswer(reinterpret_cast<char*>(&length), sizeof length) != sizeof length) throw Fail("get_env");
    std::string entry;
    char piece[1024];
    while (entry.size() < length) {
        const std::size_t want = std::min<std::size_t>(sizeof piece, length - entry.size());
        const std::size_t got = GetAnswer(piece, want);
        if (got != want) throw Fail("get_env");
        entry.append(piece, got);
    }
    return entry;
}

std::unique_ptr<Protocol> Connect(const std::string& name, bool admin) {
    const int fd = IntConnect(name, admin);
    if (fd < 0) throw Fail("locked");
    auto p = std::make_unique<Protocol>();
    ResHandle socket(fd);
    p->set_in(new vux_stream::Stream(vux_stream::Stream::Socket(socket), std::ios_base::in));
    p->set_out(new HalfStream(socket));
    return p;
}

int IntConnect(const std::string& name, bool admin) {
    const StringVector paths = SocketPaths(name, admin);
    for (const std::string& path : paths)
        if (path.size() >= sizeof(sockaddr_un::sun_path)) throw Fail("socket_path", path);
    const std::string startup = "tmp/" + name + ".startup";
    int attempt = 1, last = 0;
    for (;;) {
        for (const std::string& path : paths)
            if (int fd = ConnectTo(path); fd >= 0) return fd;
        VUX_LOG(VuxLogModule(), 9, "%s:%d Connect failed with code %d sleep %d seconds", VUX_SOURCE_NAME, __LINE__,
                errno, attempt);
        const int n = str::Int(vux_file::ReadE(startup));
        if (n <= last) {
            ++attempt;
            if (!StartManager(name)) return -1;
        }
        vux_proc::Sleep(500);
        if (attempt > kStartAttempts) throw Fail("open", name);
        last = n;
    }
}

bool StartManager(const std::string& name) {
    if (vux_file::Exists("tmp/core.lock")) return false;
    if (name != "core" && vux_file::Exists("tmp/" + name + ".lock")) return false;
    const pid_t child = ::fork();
    if (child < 0) throw vux_err::System("fork", errno);
    if (child == 0) StartDetached(name);
    vux_thread::SetStateC("waitpid");
    vux_sys::RetryAfterSignal([&] { return ::waitpid(child, nullptr, 0); });
    return true;
}

bool ManagerRegistered(const std::string& name) {
    if (name == "core") return true;
    StringList lines;
    str::Split(vux_file::ReadE("etc/vuxlist.conf"), "\n", lines);
    for (std::string line : lines) {
        const std::size_t end = line.find_first_of(" \t\r\n");
        if (end != std::string::npos && line.compare(0, end, "manager") == 0 && str::Trim(line.substr(end)) == name)
            return true;
    }
    return false;
}

std::string DefaultLang(const std::string& lang) {
    std::string old = default_lang;
    if (!lang.empty()) {
        VUX_LOG(VuxLogModule(), 7, "Set default language to '%s'", lang.c_str());
        default_lang = lang;
    }
    return old;
}

void ParamHide(const std::string& name) {
    Hidden& h = HiddenNames();
    std::lock_guard<std::mutex> guard(h.lock);
    h.names.insert(name);
}

bool ParamIsHidden(const std::string& name) {
    Hidden& h = HiddenNames();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.names.count(name) != 0;
}

}  // namespace vux_client
