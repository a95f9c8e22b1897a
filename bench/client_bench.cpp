// Local queries of a trivial function against the stand-in core, and the same exchange done
// by hand: a raw Unix socket, the framing written with writev, the reply read to its end
// and parsed with libxml2.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <libxml/parser.h>

#include <libvux/vuxclient.h>

#include "peers/core.h"

namespace {

const char* const kQuery = "func=sleep&ms=0";

// A panel whose core is running; the working directory stays there for the whole run.
void Panel() {
    static peers::Panel* panel = [] {
        auto* p = new peers::Panel;
        if (::chdir(p->dir().c_str()) != 0) std::abort();
        if (!vux_client::Local("core", "127.0.0.1").Query(kQuery).is_ok()) std::abort();
        return p;
    }();
    (void)panel;
}

void BM_Vux_LocalQuery(benchmark::State& state) {
    Panel();
    vux_client::Local client("core", "127.0.0.1");
    for (auto _ : state) {
        vux_client::Result r = client.Query(kQuery);
        if (!r.is_ok()) std::abort();
    }
}

std::string Entry(const std::string& text) {
    const std::uint32_t n = static_cast<std::uint32_t>(text.size());
    return std::string(reinterpret_cast<const char*>(&n), sizeof n) + text;
}

void BM_Raw_UnixSocketQuery(benchmark::State& state) {
    Panel();
    const std::string body = std::string(kQuery) + "&out=xml";
    const std::string env = Entry("REQUEST_METHOD=POST") + Entry("REMOTE_ADDR=127.0.0.1") +
                            Entry("SERVER_ADDR=127.0.0.1") + Entry("CONTENT_LENGTH=" + std::to_string(body.size())) +
                            std::string(4, '\0');
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "tmp/core.adm.sock");
    for (auto _ : state) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::abort();
        iovec iov[2] = {{const_cast<char*>(env.data()), env.size()}, {const_cast<char*>(body.data()), body.size()}};
        if (::writev(fd, iov, 2) != static_cast<ssize_t>(env.size() + body.size())) std::abort();
        ::shutdown(fd, SHUT_WR);
        std::string reply;
        char buf[1024];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
        ::close(fd);
        xmlDocPtr doc = xmlReadMemory(reply.data(), static_cast<int>(reply.size()), nullptr, nullptr, 0);
        if (!doc || !xmlDocGetRootElement(doc) || !xmlDocGetRootElement(doc)->children) std::abort();
        xmlFreeDoc(doc);
    }
}

}  // namespace

BENCHMARK(BM_Vux_LocalQuery)->Iterations(10000);
BENCHMARK(BM_Raw_UnixSocketQuery)->Iterations(10000);
BENCHMARK_MAIN();
