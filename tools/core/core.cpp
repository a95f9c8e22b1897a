// A stand-in panel core for tests, the tour and the demo: `core NAME [--http ADDRESS:PORT]`,
// started in a panel's installation directory. It serves a few functions with real reply
// documents over the framed Unix-socket protocol and, with --http, over plain HTTP.
//
//   whoami                  the panel name, the pid and the environment received
//   echo                    every parameter as an "elem" record, and the raw query
//   sleep&ms=N              answers after N milliseconds
//   fail&type=&object=&value=   an error document
//   raw&text=T              T exactly as the reply (an unparsable one too)
//   abort&id=&times=N       "request_failed" the first N times (default 1) for that id
//   exit[&pid=P]            without pid: answers its pid and exits; with one: "ok" while P
//                           is still this core
//   crash                   half a document, then the core dies
//   locked&id=&times=N      over HTTP, status 423 the first N times
//   busy&id=&times=N        over HTTP, status 503 the first N times, the body naming where
//                           to ask again
//
// VUX_CORE_RECORD names a file that receives each request's exact bytes; VUX_CORE_STARTUP_MS
// stretches the start, during which tmp/NAME.startup grows.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <libvux/vuxclient.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxsession.h>
#include <libvux/vuxstr.h>

namespace {

// A core nobody calls for this long goes away, so that a test that dies leaves none behind.
const int kIdleSeconds = 300;

std::string name;
std::vector<std::string> socket_paths;
std::mutex counters_lock;
std::map<std::string, int> counters;

struct Reply {
    int status = 200;
    std::string body;
};

// How many times this function was asked for this id before.
int Count(const std::string& func, const std::string& id) {
    std::lock_guard<std::mutex> guard(counters_lock);
    return counters[func + "\n" + id]++;
}

void Record(const std::string& bytes) {
    const char* path = std::getenv("VUX_CORE_RECORD");
    if (path && *path) vux_file::Write(path, bytes);
}

[[noreturn]] void Leave(int status) {
    for (const std::string& path : socket_paths) ::unlink(path.c_str());
    ::_exit(status);
}

void WriteAll(int fd, const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

Reply Serve(const std::string& query, const StringMap& env, int fd) {
    vux_session::BaseSession s;
    StringMap params;
    str::Split(query, "&", params);
    for (const auto& [k, v] : params) s.SetParam(str::url::Decode(k), str::url::Decode(v));
    const std::string func = s.Param("func");
    const int times = s.Has("times") ? str::Int(s.Param("times")) : 1;
    vux_xml::Xml& doc = s.GetXml();
    if (func == "whoami") {
        s.NewNode("name", name);
        s.NewNode("pid", std::to_string(::getpid()));
        for (const auto& [k, v] : env) s.NewNode("env", v).SetProp("name", k);
    } else if (func == "echo") {
        for (const auto& [k, v] : params) {
            s.NewElem();
            s.AddChildNode("name", str::url::Decode(k));
            s.AddChildNode("value", str::url::Decode(v));
        }
        s.NewNode("query", query);
    } else if (func == "sleep") {
        vux_proc::Sleep(static_cast<unsigned long>(str::Int(s.Param("ms"))));
        s.Ok(0);
    } else if (func == "fail") {
        return {200, vux_err::Error(s.Param("type"), s.Param("object"), s.Param("value")).xml().Str()};
    } else if (func == "raw") {
        return {200, s.Param("text")};
    } else if (func == "abort") {
        if (Count(func, s.Param("id")) < times) return {200, vux_err::Error("request_failed").xml().Str()};
        s.Ok(0);
    } else if (func == "exit") {
        if (!s.Has("pid")) {
            s.NewNode("pid", std::to_string(::getpid()));
            WriteAll(fd, doc.Str());
            ::close(fd);
            Leave(0);
        }
        if (s.Param("pid") == std::to_string(::getpid())) s.Ok(0);
        s.NewNode("pid", std::to_string(::getpid()));
    } else if (func == "crash") {
        WriteAll(fd, "<?xml version=\"1.0\"?>\n<doc><elem><name>half");
        Leave(3);
    } else if (func == "locked") {
        if (Count(func, s.Param("id")) < times) return {423, ""};
        s.Ok(0);
    } else if (func == "busy") {
        if (Count(func, s.Param("id")) < times) return {503, "core?func=busy&id=" + str::url::Encode(s.Param("id")) +
                                                                  "&times=" + std::to_string(times)};
        s.Ok(0);
    } else {
        return {200, vux_err::Error("missed", "func", func).xml().Str()};
    }
    return {200, doc.Str()};
}

// Reads up to the client's half-close: the request is complete only then.
std::string ReadToEnd(int fd) {
    std::string data;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) data.append(buf, static_cast<std::size_t>(n));
    return data;
}

void ServeSocket(int fd) {
    const std::string raw = ReadToEnd(fd);
    Record(raw);
    vux_client::Protocol p;
    p.set_in(new std::istringstream(raw));
    StringMap env;
    try {
        for (std::string entry; !(entry = p.GetEnv()).empty();) {
            const std::size_t eq = entry.find('=');
            env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
        }
        std::string body(static_cast<std::size_t>(str::Int(env["CONTENT_LENGTH"])), '\0');
        body.resize(p.GetAnswer(body.data(), body.size()));
        WriteAll(fd, Serve(body, env, fd).body);
    } catch (const vux_err::Error& e) {
        WriteAll(fd, e.xml().Str());
    }
    ::close(fd);
}

const char* StatusText(int status) {
    switch (status) {
        case 423: return "Locked";
        case 503: return "Service Unavailable";
        default: return "OK";
    }
}

void ServeHttp(int fd) {
    std::string raw;
    char buf[4096];
    std::size_t head_end;
    while ((head_end = raw.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return (void)::close(fd);
        raw.append(buf, static_cast<std::size_t>(n));
    }
    std::string head = str::Lower(raw.substr(0, head_end));
    std::size_t length = 0;
    if (std::size_t at = head.find("\r\ncontent-length:"); at != std::string::npos)
        length = static_cast<std::size_t>(str::Int(raw.substr(at + 17)));
    while (raw.size() < head_end + 4 + length) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        raw.append(buf, static_cast<std::size_t>(n));
    }
    Record(raw);
    std::string query = raw.substr(head_end + 4);
    const std::string target = raw.substr(0, raw.find("\r\n"));
    if (target.compare(0, 4, "GET ") == 0) {
        std::size_t q = target.find('?');
        query = q == std::string::npos ? "" : target.substr(q + 1, target.rfind(' ') - q - 1);
    }
    StringMap env{{"REQUEST_METHOD", target.substr(0, target.find(' '))}};
    Reply r = Serve(query, env, fd);
    WriteAll(fd, "HTTP/1.1 " + std::to_string(r.status) + " " + StatusText(r.status) +
                     "\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: " +
                     std::to_string(r.body.size()) + "\r\n\r\n" + r.body);
    ::close(fd);
}

int Listen(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) Leave(1);
    std::strcpy(addr.sun_path, path.c_str());
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0) Leave(1);
    return fd;
}

int ListenTcp(const std::string& where) {
    const std::size_t colon = where.rfind(':');
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(str::Int(where.substr(colon + 1))));
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::inet_pton(AF_INET, where.substr(0, colon).c_str(), &addr.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0)
        Leave(1);
    return fd;
}

// One core per panel: a second one started meanwhile finds the pid file locked and leaves.
bool TakeInstanceLock() {
    const std::string path = "tmp/" + name + ".pid";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // An old core that is on its way out holds it a little longer.
    for (int i = 0; i < 20; ++i) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) return false;
            return true;
        }
        vux_proc::Sleep(100);
    }
    return false;
}

void Start() {
    const std::string startup = "tmp/" + name + ".startup";
    const char* stretch = std::getenv("VUX_CORE_STARTUP_MS");
    const int steps = stretch ? std::atoi(stretch) / 100 : 0;
    for (int step = 1; step <= steps + 1; ++step) {
        vux_file::Write(startup, std::to_string(step));
        if (step <= steps) vux_proc::Sleep(100);
    }
    for (const char* suffix : {".sock", ".adm.sock", ".adm.internal"}) socket_paths.push_back("tmp/" + name + suffix);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: core NAME [--http ADDRESS:PORT]\n");
        return 2;
    }
    name = argv[1];
    // Detached from whoever started it: holding their terminal or pipe open would keep them
    // waiting for an end of output that never comes.
    if (int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0)
        for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    if (vux_file::Exists("tmp/core.lock") || vux_file::Exists("tmp/" + name + ".lock")) return 1;
    if (!TakeInstanceLock()) return 0;
    Start();
    std::vector<pollfd> listening;
    for (const std::string& path : socket_paths) listening.push_back({Listen(path), POLLIN, 0});
    const std::size_t unix_count = listening.size();
    if (argc > 3 && std::strcmp(argv[2], "--http") == 0) listening.push_back({ListenTcp(argv[3]), POLLIN, 0});
    ::unlink(("tmp/" + name + ".startup").c_str());
    for (;;) {
        int ready = ::poll(listening.data(), listening.size(), kIdleSeconds * 1000);
        if (ready == 0) Leave(0);
        for (std::size_t i = 0; i < listening.size(); ++i) {
            if (!(listening[i].revents & POLLIN)) continue;
            int fd = ::accept4(listening[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            timeval limit{30, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            std::thread(i < unix_count ? &ServeSocket : &ServeHttp, fd).detach();
        }
    }
}
