// DNS answers: whatever a server sends back gives records, false or the "packet" error, and
// never a crash or a hang. The input is served by a listener of this process on port 53 of
// 127.0.53.99 (root only), with the query's id put in its first two bytes.
#include <libvux/vuxerr.h>
#include <libvux/vuxnet.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

int Listener() {
    static const int fd = [] {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        ::inet_pton(AF_INET, "127.0.53.99", &a.sin_addr);
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 8) != 0) abort();
        return s;
    }();
    return fd;
}

void Serve(std::string answer) {
    const int c = ::accept(Listener(), nullptr, nullptr);
    if (c < 0) return;
    unsigned char query[512];
    const ssize_t n = ::recv(c, query, sizeof query, 0);
    if (n >= 4 && answer.size() >= 4) {
        answer[2] = static_cast<char>(query[2]);
        answer[3] = static_cast<char>(query[3]);
    }
    // Framed as sent, so that a transfer's later messages come from the input too.
    ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte picks a plain query or a transfer; the rest is one framed message.
    const bool transfer = data[0] & 1;
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string framed;
    framed += static_cast<char>((body.size() >> 8) & 0xff);
    framed += static_cast<char>(body.size() & 0xff);
    framed += body;
    std::thread server(Serve, framed);
    std::vector<vux_net::DomainRecord> records;
    try {
        vux_net::GetDomainRecords("127.0.53.99", "example.com", transfer ? vux_net::DnsAXFR : vux_net::DnsMX, &records);
    } catch (const vux_err::Error& e) {
        if (e.type() != "dns" || e.object() != "packet") abort();
    }
    server.join();
    return 0;
}
