#include <libvux/vuxnet.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

#include "private/vuxsys.h"

VUX_LOG_MODULE("libvux")

namespace vux_net {

namespace {

const int kTimeoutSeconds = 5;
// A zone transfer is read until its closing SOA; a server that never sends one is cut off here.
const std::size_t kMaxTransferBytes = 256u << 20;
// Pointers followed for one name; a chain of bare pointers adds nothing to a name, so only a
// count bounds it.
const int kMaxPointers = 128;

[[noreturn]] void BadPacket() {
    vux_err::Error e("dns", "packet");
    e.set_report();
    throw e;
}

// ---- the query ----

// Labels of the name, or false when it cannot be asked for (a label over 63 bytes, a name over 255).
bool EncodeName(const std::string& domain, std::string& out) {
    std::size_t total = 1;
    for (std::size_t start = 0; start < domain.size();) {
        std::size_t dot = domain.find('.', start);
        if (dot == std::string::npos) dot = domain.size();
        const std::size_t size = dot - start;
        if (size > 63) return false;
        if (size > 0) {
            total += size + 1;
            out += static_cast<char>(size);
            out.append(domain, start, size);
        }
        start = dot + 1;
    }
    out += '\0';
    return total <= 255;
}

void Put16(std::string& out, unsigned v) {
    out += static_cast<char>((v >> 8) & 0xff);
    out += static_cast<char>(v & 0xff);
}

bool BuildQuery(const std::string& domain, DomainRecordType type, std::string& query, unsigned& id) {
    const std::string random = str::Random(2);
    id = (static_cast<unsigned char>(random[0]) << 8) | static_cast<unsigned char>(random[1]);
    Put16(query, id);
    Put16(query, 0);  // flags
    Put16(query, 1);  // one question
    query.append(6, '\0');
    if (!EncodeName(domain, query)) return false;
    Put16(query, type);
    Put16(query, 1);  // IN
    return true;
}

// ---- the connection ----

bool Address(const std::string& ip, unsigned short port, sockaddr_in& out) {
    out = sockaddr_in();
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return ::inet_pton(AF_INET, ip.c_str(), &out.sin_addr) == 1;
}

ResHandle Open(const std::string& server_ip, const std::string& source_ip) {
    sockaddr_in server, source;
    if (!Address(server_ip, 53, server)) return ResHandle();
    if (!source_ip.empty() && !Address(source_ip, 0, source)) return ResHandle();
    ResHandle socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return ResHandle();
    if (!source_ip.empty() && ::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0)
        return ResHandle();
    // The send time-out bounds the connect too, so a server that never answers the handshake
    // cannot hold the call.
    const timeval timeout = {kTimeoutSeconds, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) return ResHandle();
    return socket;
}

// send with MSG_NOSIGNAL rather than vux_sys::WriteAll: a server that hangs up must not raise SIGPIPE.
bool Send(int fd, const std::string& query) {
    std::string framed;
    Put16(framed, static_cast<unsigned>(query.size()));
    framed += query;
    for (std::size_t sent = 0; sent < framed.size();) {
        const ssize_t n = vux_sys::RetryAfterSignal(
            [&] { return ::send(fd, framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL); });
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// One length-prefixed message; false when it does not arrive whole.
bool ReadMessage(ResHandle& socket, std::vector<unsigned char>& message) {
    unsigned char length[2];
    if (!Receive(socket, length, 2)) return false;
    message.resize((length[0] << 8) | length[1]);
    return Receive(socket, message.data(), message.size());
}

// ---- the answer ----

// Reads one answer message; every read is checked against its end.
class Parser {
public:
    explicit Parser(const std::vector<unsigned char>& message) : m_(message) {}

    std::size_t pos() const { return pos_; }
    void Skip(std::size_t n) {
        Need(n);
        pos_ += n;
    }
    unsigned U8() {
        Need(1);
        return m_[pos_++];
    }
    unsigned U16() {
        const unsigned hi = U8();
        return (hi << 8) | U8();
    }
    std::uint32_t U32() {
        const std::uint32_t hi = U16();
        return (hi << 16) | U16();
    }
    std::string Bytes(std::size_t n) {
        Need(n);
        std::string out(reinterpret_cast<const char*>(&m_[pos_]), n);
        pos_ += n;
        return out;
    }
    // The name at the current position, compression resolved; "." for the root.
    std::string Name() {
        const std::string name = NameAt(pos_, &pos_, 0);
        return name.empty() ? "." : name;
    }

private:
    void Need(std::size_t n) const {
        if (n > m_.size() - pos_) BadPacket();
    }

    // Decodes the name at `at`; `next`, when given, gets the position after it. A pointer may
    // only lead back, to an earlier offset, so the walk ends; the name found at each pointer's
    // target is kept, so that it is decoded once per message.
    std::string NameAt(std::size_t at, std::size_t* next, int depth) {
        if (depth > kMaxPointers) BadPacket();
        std::string name;
        std::size_t wire = 1;
        for (std::size_t p = at;;) {
            if (p >= m_.size()) BadPacket();
            const unsigned len = m_[p];
            if ((len & 0xC0) == 0xC0) {
                if (p + 1 >= m_.size()) BadPacket();
                const std::size_t target = ((len & 0x3F) << 8) | m_[p + 1];
                if (target >= p) BadPacket();
                if (next) *next = p + 2;
                const std::string& rest = Cached(target, depth);
                if (!rest.empty()) name += (name.empty() ? "" : ".") + rest;
                break;
            }
            if (len & 0xC0) BadPacket();  // the obsolete label types
            if (len == 0) {
                if (next) *next = p + 1;
                break;
            }
            wire += len + 1;
            if (wire > 255 || p + 1 + len > m_.size()) BadPacket();
            if (!name.empty()) name += '.';
            name += Escape(&m_[p + 1], len);
            p += 1 + len;
        }
        // A name is at most 255 bytes on the wire, which escaping makes at most four times longer.
        if (name.size() > 4 * 255) BadPacket();
        return name;
    }

    const std::string& Cached(std::size_t at, int depth) {
        const auto known = cache_.find(at);
        if (known != cache_.end()) return known->second;
        std::string name = NameAt(at, nullptr, depth + 1);
        return cache_.emplace(at, std::move(name)).first->second;
    }

    // Bytes that would read as other syntax are escaped as in master files.
    static std::string Escape(const unsigned char* s, std::size_t n) {
        std::string out;
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = s[i];
            if (c == '.' || c == '\\' || c == '"' || c == ';' || c == '(' || c == ')' || c == '@' || c == '$') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x21 || c > 0x7e) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\%03u", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    }

    const std::vector<unsigned char>& m_;
    std::size_t pos_ = 0;
    std::map<std::size_t, std::string> cache_;
};

// Presentation fields are separated by blanks.
void AddField(std::string& out, const std::string& field) {
    if (!out.empty()) out += ' ';
    out += field;
}

std::string TypeName(unsigned type) {
    DomainRecord r;
    r.type = static_cast<std::uint16_t>(type);
    const std::string name = r.stype();
    return name.empty() ? "TYPE" + std::to_string(type) : name;
}

std::string Hex(const std::string& bytes) {
    return bytes.empty() ? "-" : str::Upper(str::hex::Encode(bytes));
}

// RFC 4648 base32 with the extended hex alphabet, unpadded (NSEC3 hashes).
std::string Base32Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuv";
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned char c : bytes) {
        buffer = (buffer << 8) | c;
        bits += 8;
        while (bits >= 5) {
            out += kDigits[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    if (bits > 0) out += kDigits[(buffer << (5 - bits)) & 31];
    return out;
}

// Seconds since 1970 as YYYYMMDDHHMMSS.
std::string SignatureTime(std::uint32_t seconds) {
    const std::time_t t = seconds;
    std::tm tm;
    ::gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    return buf;
}

// The type bitmap of NSEC and NSEC3 as mnemonics.
std::string TypeBitmap(Parser& p, std::size_t end) {
    std::string out;
    while (p.pos() < end) {
        const unsigned window = p.U8(), length = p.U8();
        if (length == 0 || length > 32) BadPacket();
        const std::string bits = p.Bytes(length);
        for (unsigned i = 0; i < length * 8; ++i)
            if (static_cast<unsigned char>(bits[i / 8]) & (0x80 >> (i % 8)))
                AddField(out, TypeName(window * 256 + i));
    }
    return out;
}

std::string Rdata(Parser& p, DomainRecord& r, std::size_t length) {
    const std::size_t end = p.pos() + length;
    auto left = [&] {
        if (p.pos() > end) BadPacket();
        return end - p.pos();
    };
    switch (r.type) {
    case DnsA: {
        if (length != 4) BadPacket();
        char buf[INET_ADDRSTRLEN];
        const std::string b = p.Bytes(4);
        return ::inet_ntop(AF_INET, b.data(), buf, sizeof buf);
    }
    case DnsAAAA: {
        if (length != 16) BadPacket();
        char buf[INET6_ADDRSTRLEN];
        const std::string b = p.Bytes(16);
        return ::inet_ntop(AF_INET6, b.data(), buf, sizeof buf);
    }
    case DnsNS:
    case DnsCNAME:
    case DnsPTR:
    case DnsDNAME:
    case DnsALIAS:
        return p.Name();
    case DnsMX:
        r.priority = static_cast<std::uint16_t>(p.U16());
        return p.Name();
    case DnsSRV: {
        r.priority = static_cast<std::uint16_t>(p.U16());
        const unsigned weight = p.U16(), port = p.U16();
        return std::to_string(weight) + " " + std::to_string(port) + " " + p.Name();
    }
    case DnsSOA: {
        std::string v = p.Name();
        AddField(v, p.Name());
        for (int i = 0; i < 5; ++i) AddField(v, std::to_string(p.U32()));
        return v;
    }
    case DnsTXT: {
        std::string v;
        while (p.pos() < end) v += p.Bytes(p.U8());
        return v;
    }
    case DnsDS: {
        const unsigned tag = p.U16(), alg = p.U8(), digest = p.U8();
        return std::to_string(tag) + " " + std::to_string(alg) + " " + std::to_string(digest) + " " + Hex(p.Bytes(left()));
    }
    case DnsRRSIG: {
        const unsigned covered = p.U16(), alg = p.U8(), labels = p.U8();
        const std::uint32_t ttl = p.U32(), expiration = p.U32(), inception = p.U32();
        const unsigned tag = p.U16();
        const std::string signer = p.Name();
        return TypeName(covered) + " " + std::to_string(alg) + " " + std::to_string(labels) + " " + std::to_string(ttl) +
               " " + SignatureTime(expiration) + " " + SignatureTime(inception) + " " + std::to_string(tag) + " " +
               signer + " " + str::base64::Encode(p.Bytes(left()));
    }
    case DnsDNSKEY: {
        const unsigned flags = p.U16(), protocol = p.U8(), alg = p.U8();
        return std::to_string(flags) + " " + std::to_string(protocol) + " " + std::to_string(alg) + " " +
               str::base64::Encode(p.Bytes(left()));
    }
    case DnsNSEC: {
        std::string v = p.Name();
        const std::string types = TypeBitmap(p, end);
        if (!types.empty()) AddField(v, types);
        return v;
    }
    case DnsNSEC3:
    case DnsNSEC3PARAM: {
        const unsigned alg = p.U8(), flags = p.U8(), iterations = p.U16();
        std::string v = std::to_string(alg) + " " + std::to_string(flags) + " " + std::to_string(iterations) + " " +
                        Hex(p.Bytes(p.U8()));
        if (r.type == DnsNSEC3PARAM) return v;
        AddField(v, str::Upper(Base32Hex(p.Bytes(p.U8()))));
        const std::string types = TypeBitmap(p, end);
        if (!types.empty()) AddField(v, types);
        return v;
    }
    case DnsCAA: {
        const unsigned flags = p.U8();
        const std::string tag = p.Bytes(p.U8());
        return std::to_string(flags) + " " + tag + " \"" + p.Bytes(left()) + "\"";
    }
    default:
        VUX_LOG(VuxLogModule(), 9, "DTest: parsing unknown record");
        p.Skip(length);
        return std::string();
    }
}

// The records of one answer message. `soas` counts the SOA records seen (the end of a transfer).
void ParseAnswer(const std::vector<unsigned char>& message, std::vector<DomainRecord>& out, int& soas) {
    Parser p(message);
    p.Skip(4);
    const unsigned questions = p.U16(), answers = p.U16();
    p.Skip(4);
    for (unsigned i = 0; i < questions; ++i) {
        p.Name();
        p.Skip(4);
    }
    VUX_LOG(VuxLogModule(), 9, "%s:%d Recieved %d records", __FILE__, __LINE__, static_cast<int>(answers));
    for (unsigned i = 0; i < answers; ++i) {
        DomainRecord r;
        r.name = p.Name();
        r.type = static_cast<std::uint16_t>(p.U16());
        p.Skip(2);  // class
        r.ttl = p.U32();
        const std::size_t length = p.U16();
        const std::size_t end = p.pos() + length;
        if (end > message.size()) BadPacket();
        VUX_LOG(VuxLogModule(), 9, "%s:%d rr '%s' type %d (%s)", __FILE__, __LINE__, r.name.c_str(),
                static_cast<int>(r.type), r.stype().c_str());
        r.value = Rdata(p, r, length);
        if (p.pos() != end) BadPacket();
        if (r.type == DnsSOA) ++soas;
        out.push_back(std::move(r));
    }
}

// Whether the message answers the query: its id, the response bit, no error.
bool Answers(const std::vector<unsigned char>& message, unsigned id) {
    if (message.size() < 12) BadPacket();
    const unsigned got = (message[0] << 8) | message[1];
    return got == id && (message[2] & 0x80) && (message[3] & 0x0F) == 0;
}

}  // namespace

std::string DomainRecord::stype() const {
    switch (type) {
    case DnsA: return "A";
    case DnsNS: return "NS";
    case DnsCNAME: return "CNAME";
    case DnsSOA: return "SOA";
    case DnsPTR: return "PTR";
    case DnsMX: return "MX";
    case DnsTXT: return "TXT";
    case DnsAAAA: return "AAAA";
    case DnsSRV: return "SRV";
    case DnsDNAME: return "DNAME";
    case DnsDS: return "DS";
    case DnsRRSIG: return "RRSIG";
    case DnsNSEC: return "NSEC";
    case DnsDNSKEY: return "DNSKEY";
    case DnsNSEC3: return "NSEC3";
    case DnsNSEC3PARAM: return "NSEC3PARAM";
    case DnsAXFR: return "AXFR";
    case DnsCAA: return "CAA";
    case DnsALIAS: return "ALIAS";
    }
    return std::string();
}

bool Receive(ResHandle& socket, unsigned char* buffer, std::size_t length) {
    for (std::size_t got = 0; got < length;) {
        const ssize_t n = vux_sys::RetryAfterSignal([&] { return ::recv(socket.fd(), buffer + got, length - got, 0); });
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool GetDomainRecords(const std::string& server_ip, const std::string& domain, DomainRecordType type,
                      std::vector<DomainRecord>* records, const std::string& source_ip) {
    VUX_LOG(VuxLogModule(), 8, "%s ip = '%s', domain = '%s', type = %d, sourse = '%s'", "GetDomainRecords",
            server_ip.c_str(), domain.c_str(), static_cast<int>(type), source_ip.c_str());
    std::string query;
    unsigned id;
    if (!BuildQuery(domain, type, query, id)) return false;
    ResHandle socket = Open(server_ip, source_ip);
    if (!socket || !Send(socket.fd(), query)) return false;
    VUX_LOG(VuxLogModule(), 8, "DNS request sent");
    std::vector<DomainRecord> found;
    std::vector<unsigned char> message;
    int soas = 0;
    std::size_t total = 0;
    // A transfer spans messages until its closing SOA; any other answer is one message.
    do {
        if (!ReadMessage(socket, message)) return false;
        VUX_LOG(VuxLogModule(), 7, "DNS got answer");
        if (!Answers(message, id)) return false;
        total += message.size();
        if (total > kMaxTransferBytes) BadPacket();
        const std::size_t before = found.size();
        ParseAnswer(message, found, soas);
        if (type == DnsAXFR && found.size() == before) BadPacket();
    } while (type == DnsAXFR && soas < 2);
    if (records) records->insert(records->end(), found.begin(), found.end());
    return true;
}

}  // namespace vux_net
