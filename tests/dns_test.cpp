// The resolver against a small server of the test's own on port 53 of 127.0.53.x that sends crafted
// answers: names with compression, the renderings, and answers that must be refused.
#include <libvux/vuxnet.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "peers/nsd.h"
#include "test_util.h"

namespace {

using vux_net::DomainRecord;

// Each test has an address of its own, so that tests running at once never share port 53.
const char* const kRenders = "127.0.53.1";
const char* const kNobody = "127.0.53.2";
const char* const kRefuses = "127.0.53.3";
const char* const kTransfers = "127.0.53.4";
const char* const kSilent = "127.0.53.5";

// Bytes of a message, written as the test reads them.
struct Msg {
    std::string b;
    Msg& u8(unsigned v) {
        b += static_cast<char>(v);
        return *this;
    }
    Msg& u16(unsigned v) { return u8(v >> 8).u8(v & 0xff); }
    Msg& u32(std::uint32_t v) { return u16(v >> 16).u16(v & 0xffff); }
    Msg& raw(const std::string& s) {
        b += s;
        return *this;
    }
    Msg& name(const std::string& dotted) {
        std::string::size_type start = 0;
        while (start < dotted.size()) {
            std::string::size_type dot = dotted.find('.', start);
            if (dot == std::string::npos) dot = dotted.size();
            u8(static_cast<unsigned>(dot - start)).raw(dotted.substr(start, dot - start));
            start = dot + 1;
        }
        return u8(0);
    }
    Msg& ptr(unsigned offset) { return u16(0xC000 | offset); }
};

// A header answering `id` with `answers` records, then the question "example.com" of `type`.
Msg Answer(unsigned id, unsigned answers, unsigned type, unsigned flags = 0x8180) {
    Msg m;
    m.u16(id).u16(flags).u16(1).u16(answers).u16(0).u16(0).name("example.com").u16(type).u16(1);
    return m;
}
// The question's name starts at offset 12.
const unsigned kQName = 12;

// Serves one connection: reads the query, then sends what `reply` makes of its id (each
// string one framed message; an empty list sends nothing and holds the connection).
class FakeServer {
public:
    FakeServer(const char* address, std::function<std::vector<std::string>(unsigned id, unsigned type)> reply)
        : reply_(std::move(reply)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0)
            throw std::runtime_error(std::string("cannot listen on port 53 of ") + address);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }

private:
    void Serve() {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        unsigned char len[2];
        std::string query;
        if (::recv(c, len, 2, MSG_WAITALL) == 2) {
            query.resize((len[0] << 8) | len[1]);
            ::recv(c, query.data(), query.size(), MSG_WAITALL);
        }
        const unsigned id = query.size() >= 2 ? (static_cast<unsigned char>(query[0]) << 8) | static_cast<unsigned char>(query[1]) : 0;
        const unsigned type = query.size() >= 4 ? (static_cast<unsigned char>(query[query.size() - 4]) << 8) |
                                                      static_cast<unsigned char>(query[query.size() - 3])
                                                : 0;
        const std::vector<std::string> messages = reply_(id, type);
        for (const std::string& m : messages) {
            std::string framed = Msg().u16(static_cast<unsigned>(m.size())).b + m;
            ::send(c, framed.data(), framed.size(), MSG_NOSIGNAL);
        }
        if (messages.empty()) ::recv(c, len, 1, 0);  // silent until the client gives up
        ::close(c);
    }

    int fd_;
    std::function<std::vector<std::string>(unsigned, unsigned)> reply_;
    std::thread thread_;
};

std::vector<DomainRecord> Ask(const char* address, const std::function<std::vector<std::string>(unsigned, unsigned)>& reply,
                              vux_net::DomainRecordType type, bool* ok) {
    FakeServer server(address, reply);
    std::vector<DomainRecord> records = {DomainRecord()};  // what was there stays
    *ok = vux_net::GetDomainRecords(address, "example.com", type, &records);
    EXPECT_EQ(records.front().name, "");
    records.erase(records.begin());
    return records;
}

std::string Text(const std::vector<DomainRecord>& records) {
    std::string out;
    for (const DomainRecord& r : records)
        out += r.name + " " + std::to_string(r.ttl) + " " + r.stype() + " " + std::to_string(r.priority) + " " +
               r.value + "\n";
    return out;
}

TEST(Dns, RendersRecordsWithCompressedNames) {
    struct Case {
        const char* what;
        vux_net::DomainRecordType type;
        std::function<Msg(Msg)> records;  // appended to an answer header with one question
        unsigned count;
        const char* expected;
    };
    const Case cases[] = {
        {"MX through pointers", vux_net::DnsMX,
         [](Msg m) { return m.ptr(kQName).u16(15).u16(1).u32(300).u16(9).u16(10).u8(4).raw("mail").ptr(kQName); }, 1,
         "example.com 300 MX 10 mail.example.com\n"},
        {"TXT of two strings", vux_net::DnsTXT,
         [](Msg m) { return m.ptr(kQName).u16(16).u16(1).u32(60).u16(12).u8(5).raw("hello").u8(5).raw(" you!"); }, 1,
         "example.com 60 TXT 0 hello you!\n"},
        {"A and AAAA", vux_net::DnsA,
         [](Msg m) {
             m.ptr(kQName).u16(1).u16(1).u32(1).u16(4).raw(std::string("\x7f\x00\x00\x01", 4));
             return m.ptr(kQName).u16(28).u16(1).u32(2).u16(16).raw(std::string(15, '\0') + "\x01");
         },
         2, "example.com 1 A 0 127.0.0.1\nexample.com 2 AAAA 0 ::1\n"},
        {"SOA and SRV", vux_net::DnsSOA,
         [](Msg m) {
             m.ptr(kQName).u16(6).u16(1).u32(5).u16(2 + 6 + 20).ptr(kQName).u8(3).raw("ns1").ptr(kQName);
             m.u32(2026120701).u32(3600).u32(600).u32(86400).u32(300);
             return m.u8(4).raw("_sip").u8(4).raw("_tcp").ptr(kQName).u16(33).u16(1).u32(7).u16(8).u16(5).u16(20).u16(5060).ptr(kQName);
         },
         2,
         "example.com 5 SOA 0 example.com ns1.example.com 2026120701 3600 600 86400 300\n"
         "_sip._tcp.example.com 7 SRV 5 20 5060 example.com\n"},
        {"DS, CAA and a name with a dot in a label", vux_net::DnsDS,
         [](Msg m) {
             m.ptr(kQName).u16(43).u16(1).u32(1).u16(7).u16(12345).u8(13).u8(2).raw("\xab\xcd\xef");
             m.ptr(kQName).u16(257).u16(1).u32(1).u16(2 + 5 + 11).u8(0).u8(5).raw("issue").raw("letsencrypt");
             return m.u8(3).raw("a.b").ptr(kQName).u16(5).u16(1).u32(1).u16(2).ptr(kQName);
         },
         3,
         "example.com 1 DS 0 12345 13 2 ABCDEF\nexample.com 1 CAA 0 0 issue \"letsencrypt\"\n"
         "a\\.b.example.com 1 CNAME 0 example.com\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool ok = false;
        const auto records = Ask(kRenders, [&](unsigned id, unsigned) { return std::vector<std::string>{c.records(Answer(id, c.count, c.type)).b}; },
                                 c.type, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(Text(records), c.expected);
    }
}

TEST(Dns, RefusedAnswersAndBrokenPacketsAddNothing) {
    const auto mx = [](Msg m) { return m.ptr(kQName).u16(15).u16(1).u32(300).u16(4).u16(10).ptr(kQName).b; };
    struct Case {
        const char* what;
        std::function<std::string(unsigned id)> answer;
        const char* outcome;  // "false" or the error
    };
    const Case cases[] = {
        {"another id", [&](unsigned id) { return mx(Answer(id ^ 1, 1, 15)); }, "false"},
        {"the response bit off", [&](unsigned id) { return mx(Answer(id, 1, 15, 0x0180)); }, "false"},
        {"an error code", [&](unsigned id) { return mx(Answer(id, 1, 15, 0x8183)); }, "false"},
        {"a pointer past the end", [](unsigned id) { return Answer(id, 1, 15).ptr(0x3fff).b; }, "dns/packet//report"},
        {"a pointer to itself", [](unsigned id) { Msg m = Answer(id, 1, 15); return m.ptr(static_cast<unsigned>(m.b.size())).b; }, "dns/packet//report"},
        {"a pointer loop through earlier names",
         [](unsigned id) {
             Msg m = Answer(id, 1, 15);
             const unsigned at = static_cast<unsigned>(m.b.size());
             return m.u8(1).raw("x").ptr(at).u16(15).u16(1).u32(1).u16(4).u16(1).ptr(kQName).b;
         },
         "dns/packet//report"},
        {"a record cut short", [](unsigned id) { return Answer(id, 1, 15).ptr(kQName).u16(15).u16(1).b; }, "dns/packet//report"},
        {"RDLENGTH past the message", [](unsigned id) { return Answer(id, 1, 15).ptr(kQName).u16(15).u16(1).u32(1).u16(900).u16(1).b; }, "dns/packet//report"},
        {"RDATA longer than its type", [](unsigned id) { return Answer(id, 1, 1).ptr(kQName).u16(1).u16(1).u32(1).u16(5).raw("12345").b; }, "dns/packet//report"},
        {"a count above the records", [&](unsigned id) { return mx(Answer(id, 2, 15)); }, "dns/packet//report"},
        {"a header cut short", [](unsigned id) { return Msg().u16(id).u16(0x8180).b; }, "dns/packet//report"},
        {"a label type that no longer exists", [](unsigned id) { return Answer(id, 1, 15).u8(0x40).b; }, "dns/packet//report"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool ok = true;
        std::string outcome = testutil::ErrorOf([&] {
            EXPECT_TRUE(Ask(kRefuses, [&](unsigned id, unsigned) { return std::vector<std::string>{c.answer(id)}; },
                            vux_net::DnsMX, &ok)
                            .empty());
        });
        if (outcome == "no error") outcome = ok ? "true" : "false";
        EXPECT_EQ(outcome, c.outcome);
    }
}

TEST(Dns, NoServerOrASilentOneGivesFalse) {
    std::vector<DomainRecord> records;
    EXPECT_FALSE(vux_net::GetDomainRecords(kNobody, "example.com", vux_net::DnsA, &records));
    EXPECT_FALSE(vux_net::GetDomainRecords("not an address", "example.com", vux_net::DnsA, &records));
    EXPECT_FALSE(vux_net::GetDomainRecords(kSilent, std::string(64, 'a') + ".com", vux_net::DnsA, &records))
        << "a label over 63 bytes cannot be asked for";
    bool ok = true;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(Ask(kSilent, [](unsigned, unsigned) { return std::vector<std::string>(); }, vux_net::DnsA, &ok).empty());
    EXPECT_FALSE(ok);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::seconds(4));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_TRUE(records.empty());
}

// A transfer: every message up to the one with the closing SOA, records in order.
TEST(Dns, TransferSpansMessagesUntilTheClosingSoa) {
    const auto soa = [](Msg m) {
        return m.ptr(kQName).u16(6).u16(1).u32(1).u16(2 + 2 + 20).ptr(kQName).ptr(kQName).u32(1).u32(2).u32(3).u32(4).u32(5);
    };
    const auto a = [](Msg m, unsigned n) {
        return m.u8(4).raw("h" + std::to_string(100 + n)).ptr(kQName).u16(1).u16(1).u32(1).u16(4).u32(0x0a000000 + n);
    };
    bool ok = false;
    const auto records = Ask(
        kTransfers, [&](unsigned id, unsigned type) {
            EXPECT_EQ(type, 252u);
            std::vector<std::string> messages;
            Msg first = soa(Answer(id, 101, 252));
            for (unsigned n = 0; n < 100; ++n) first = a(first, n);
            messages.push_back(first.b);
            Msg middle = Answer(id, 100, 252);
            for (unsigned n = 100; n < 200; ++n) middle = a(middle, n);
            messages.push_back(middle.b);
            messages.push_back(soa(Answer(id, 1, 252)).b);
            messages.push_back("never read");
            return messages;
        },
        vux_net::DnsAXFR, &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(records.size(), 202u);
    EXPECT_EQ(records.front().stype(), "SOA");
    EXPECT_EQ(records[1].name, "h100.example.com");
    EXPECT_EQ(records[200].value, "10.0.0.199");
    EXPECT_EQ(records.back().stype(), "SOA");
}

// ---- against NSD, judged by dig ----

const char* const kNsdAddress = "127.0.53.10";

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

std::string NoDot(const std::string& token) {
    return token.size() > 1 && token.back() == '.' ? token.substr(0, token.size() - 1) : token;
}

// One record as "name ttl TYPE rdata", with dig's spelling: no final dots, the base64 and hex
// tails of keys, signatures and digests unbroken, TXT strings joined.
std::string Canonical(const std::string& name, const std::string& ttl, const std::string& type,
                      std::vector<std::string> rdata) {
    std::size_t joined = type == "RRSIG" ? 8 : (type == "DNSKEY" || type == "DS") ? 3 : rdata.size();
    std::string out = NoDot(name) + " " + ttl + " " + type;
    for (std::size_t i = 0; i < rdata.size() && i < joined; ++i) out += " " + NoDot(rdata[i]);
    if (joined < rdata.size()) {
        out += " ";
        for (std::size_t i = joined; i < rdata.size(); ++i) out += rdata[i];
    }
    return out;
}

std::set<std::string> FromDig(const std::string& name, const std::string& type) {
    std::set<std::string> out;
    std::istringstream lines(Shell(std::string("dig +tcp +noall +answer +nottlunits @") + kNsdAddress + " " + name +
                                 " " + type + " 2>&1"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string owner, ttl, klass, rtype, word;
        words >> owner >> ttl >> klass >> rtype;
        std::vector<std::string> rdata;
        if (rtype == "TXT") {
            // "a" "b" joined, as the library joins a record's strings.
            std::string rest, text;
            std::getline(words, rest);
            bool in = false;
            for (char c : rest)
                if (c == '"') in = !in;
                else if (in) text += c;
            rdata.push_back(text);
        } else {
            while (words >> word) rdata.push_back(word);
        }
        out.insert(Canonical(owner, ttl, rtype, rdata));
    }
    return out;
}

std::set<std::string> FromLibrary(const std::string& name, vux_net::DomainRecordType type) {
    std::vector<DomainRecord> records;
    EXPECT_TRUE(vux_net::GetDomainRecords(kNsdAddress, name, type, &records));
    std::set<std::string> out;
    for (const DomainRecord& r : records) {
        std::vector<std::string> rdata;
        if (r.type == vux_net::DnsMX || r.type == vux_net::DnsSRV) rdata.push_back(std::to_string(r.priority));
        if (r.type == vux_net::DnsTXT || r.type == vux_net::DnsCAA) {
            std::istringstream words(r.value);
            std::string flags, tag;
            if (r.type == vux_net::DnsCAA && (words >> flags >> tag)) {
                rdata = {flags, tag};
                std::string rest;
                std::getline(words, rest);
                rdata.push_back(rest.substr(1));
            } else {
                rdata.push_back(r.value);
            }
        } else {
            std::istringstream words(r.value);
            for (std::string w; words >> w;) rdata.push_back(w);
        }
        out.insert(Canonical(r.name, std::to_string(r.ttl), r.stype(), rdata));
    }
    return out;
}

class DnsNsd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!peers::Nsd::Missing().empty() || ::access("/usr/bin/dig", X_OK) != 0 ||
            ::access("/usr/bin/ldns-signzone", X_OK) != 0)
            return;
        work_ = new testutil::TempDir;
        std::map<std::string, std::string> zones = {{"example.test", peers::ExampleZone()}};
        // Signed zones: NSEC, and NSEC3 with a salt.
        for (const char* signed_zone : {"nsec.test", "nsec3.test"}) {
            const std::string origin = signed_zone, file = *work_ / origin;
            testutil::WriteFile(file, "$ORIGIN " + origin + ".\n$TTL 600\n@ IN SOA ns1 hostmaster 1 3600 600 86400 300\n"
                                      "@ IN NS ns1\nns1 IN A 127.0.53.10\nwww IN A 192.0.2.7\nmail IN MX 5 www\n");
            const std::string key = Shell("cd " + work_->path() + " && ldns-keygen -a ECDSAP256SHA256 -k " + origin);
            const bool nsec3 = origin == "nsec3.test";
            Shell("cd " + work_->path() + " && ldns-signzone " + (nsec3 ? "-n -s ab12cd34 -t 3 " : "") + file + " " +
                key.substr(0, key.find('\n')));
            zones[origin] = testutil::ReadFile(file + ".signed");
        }
        nsd_ = new peers::Nsd(kNsdAddress, zones);
    }
    static void TearDownTestSuite() {
        delete nsd_;
        delete work_;
        nsd_ = nullptr;
        work_ = nullptr;
    }
    void SetUp() override {
        if (!nsd_) GTEST_SKIP() << "nsd, dig or ldns-signzone missing (scripts/deps installs them)";
    }
    static peers::Nsd* nsd_;
    static testutil::TempDir* work_;
};
peers::Nsd* DnsNsd::nsd_ = nullptr;
testutil::TempDir* DnsNsd::work_ = nullptr;

TEST_F(DnsNsd, EveryTypeAndATransferReadAsDigReadsThem) {
    const std::pair<const char*, vux_net::DomainRecordType> asks[] = {
        {"example.test", vux_net::DnsA},       {"example.test", vux_net::DnsAAAA},
        {"example.test", vux_net::DnsNS},      {"example.test", vux_net::DnsSOA},
        {"www.example.test", vux_net::DnsCNAME}, {"4.3.2.1.example.test", vux_net::DnsPTR},
        {"example.test", vux_net::DnsMX},      {"example.test", vux_net::DnsTXT},
        {"_sip._tcp.example.test", vux_net::DnsSRV}, {"example.test", vux_net::DnsCAA},
        {"old.example.test", vux_net::DnsDNAME}, {"secure.example.test", vux_net::DnsDS},
        {"nsec.test", vux_net::DnsDNSKEY},     {"www.nsec.test", vux_net::DnsRRSIG},
        {"www.nsec.test", vux_net::DnsNSEC},   {"nsec3.test", vux_net::DnsNSEC3PARAM},
        {"nsec3.test", vux_net::DnsDNSKEY},    {"mail.nsec3.test", vux_net::DnsRRSIG},
    };
    for (const auto& ask : asks) {
        DomainRecord r;
        r.type = ask.second;
        SCOPED_TRACE(std::string(ask.first) + " " + r.stype());
        const std::set<std::string> dig = FromDig(ask.first, r.stype());
        EXPECT_FALSE(dig.empty());
        EXPECT_EQ(FromLibrary(ask.first, ask.second), dig);
    }
    // NSEC3 records are named by hashes: ask dig for the whole signed zone and compare each.
    std::set<std::string> dig, ours;
    for (const std::string& line : FromDig("nsec3.test", "AXFR"))
        if (line.find(" NSEC3 ") != std::string::npos) dig.insert(line);
    for (const std::string& line : FromLibrary("nsec3.test", vux_net::DnsAXFR))
        if (line.find(" NSEC3 ") != std::string::npos) ours.insert(line);
    EXPECT_GE(dig.size(), 3u);
    EXPECT_EQ(ours, dig);
    // The tool prints an answer a record a line; no answer is an exit status of 1.
    const std::string tool = std::string(VUX_TOOL) + " dns " + kNsdAddress + " ";
    EXPECT_EQ(Shell(tool + "example.test MX | sort"),
              "example.test\t3600\tIN\tMX\t10 mail.example.test\nexample.test\t3600\tIN\tMX\t20 mail2.example.org\n");
    EXPECT_EQ(Shell(tool + "example.test 99 >/dev/null; echo $?"), "0\n");
    EXPECT_EQ(Shell(std::string(VUX_TOOL) + " dns 127.0.53.2 example.test A 2>&1; echo $?"),
              "no answer from 127.0.53.2\n1\n");
    // A transfer of 5,000 records spans many messages. (One test: one server on port 53.)
    const std::set<std::string> transfer = FromLibrary("example.test", vux_net::DnsAXFR);
    EXPECT_GT(transfer.size(), 5000u);
    EXPECT_EQ(transfer, FromDig("example.test", "AXFR"));
}

}  // namespace
