#include <arpa/inet.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include <libvux/vuxnet.h>
#include <libvux/vuxstr.h>

#include "test_util.h"

using testutil::ErrorOf;
using vux_net::Ip;
using vux_net::IpRange;

namespace {

// The address text as the C library reads and prints it, or "" when it refuses it.
std::string Libc(const std::string& text) {
    const std::string t = str::Trim(text);
    unsigned char b[16];
    char out[INET6_ADDRSTRLEN];
    for (int family : {AF_INET, AF_INET6})
        if (t.find('\0') == std::string::npos && inet_pton(family, t.c_str(), b) == 1)
            return inet_ntop(family, b, out, sizeof out);
    return "";
}

// What Ip makes of text: its printed form, or the error.
std::string Parsed(const std::string& text) {
    try {
        return Ip(text).Str();
    } catch (const vux_err::Error& e) {
        return "";
    }
}

std::string Uncompressed(const unsigned char* b) {
    std::string s;
    for (int i = 0; i < 16; i += 2) s += str::Format("%s%X", i ? ":" : "", b[i] << 8 | b[i + 1]);
    return s;
}

std::string Big(const vux_bignum::Int& n) { return n.Str(); }

// Runs f in a child inside fresh namespaces and gives what it returned, or why it failed.
std::string InNamespaces(int flags, const std::function<std::string()>& f) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out;
        try {
            if (unshare(flags) != 0) throw std::runtime_error(std::string("unshare: ") + strerror(errno));
            if ((flags & CLONE_NEWNS) && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                throw std::runtime_error("private mounts");
            out = f();
        } catch (const std::exception& e) {
            out = std::string("failed: ") + e.what();
        }
        if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

void Shell(const std::string& cmd) {
    if (system((cmd + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("command failed: " + cmd);
}

// A dummy interface; a bridge without ports stands in where the kernel has no dummy driver.
void AddLink(const std::string& name) {
    Shell("ip link add " + name + " type dummy || ip link add " + name + " type bridge");
    Shell("ip link set " + name + " up");
}

// In a private mount namespace: /etc becomes an overlay whose changes go to `dir`, so that the
// test may write files there that the machine lacks (a minimal root has no /etc/hosts).
void PrivateEtc(const std::string& dir) {
    std::filesystem::create_directories(dir + "/upper");
    std::filesystem::create_directories(dir + "/work");
    const std::string options = "lowerdir=/etc,upperdir=" + dir + "/upper,workdir=" + dir + "/work";
    if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) throw std::runtime_error("overlay /etc");
}

}  // namespace

// ---- parsing and printing, judged by inet_pton / inet_ntop ----

TEST(NetIp, GeneratedAddressesPrintAsTheCLibrary) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        unsigned char b[16];
        for (unsigned char& c : b) c = rng();
        // Zero runs of every length and place, so that compression is exercised.
        const int from = rng() % 8, len = rng() % 9;
        for (int g = from; g < from + len && g < 8; ++g) b[2 * g] = b[2 * g + 1] = 0;
        char text[INET6_ADDRSTRLEN];
        const std::string v6 = inet_ntop(AF_INET6, b, text, sizeof text);
        ASSERT_EQ(Parsed(Uncompressed(b)), v6);
        ASSERT_EQ(Parsed(v6), v6);
        const std::string v4 = inet_ntop(AF_INET, b, text, sizeof text);
        ASSERT_EQ(Parsed(" " + v4 + "\t"), v4);
        const std::string mapped = "::ffff:" + v4;
        ASSERT_EQ(Parsed(mapped), Libc(mapped));
        ASSERT_EQ(Ip(mapped).Family(), AF_INET6);
    }
}

TEST(NetIp, ArbitraryTextIsAcceptedExactlyAsTheCLibraryDoes) {
    std::mt19937 rng(11);
    const std::string alphabet = "0123456789abcdefABCDEF::...  x\t%";
    for (int i = 0; i < 100000; ++i) {
        std::string s(rng() % 24, ' ');
        for (char& c : s) c = alphabet[rng() % alphabet.size()];
        if (s.empty()) continue;
        ASSERT_EQ(Parsed(s), Libc(s)) << s;
    }
}

TEST(NetIp, EdgeCases) {
    const Ip empty("");
    EXPECT_EQ(empty.Str(), "");
    EXPECT_EQ(empty.Family(), 0);
    EXPECT_TRUE(empty.IsSpecial());
    EXPECT_FALSE(empty == Ip(""));
    EXPECT_EQ(Ip("2001:DB8:0:0::1").Str(), "2001:db8::1");
    EXPECT_EQ(Ip("  192.168.0.1 ").Str(), "192.168.0.1");
    EXPECT_EQ(ErrorOf([] { Ip("192.168.1"); }), "value/ip/192.168.1");
    EXPECT_EQ(ErrorOf([] { Ip("010.0.0.1"); }), "value/ip/010.0.0.1");
    EXPECT_EQ(ErrorOf([] { Ip(std::string("1.2.3.4\0.5", 10)); }), "value/ip/" + std::string("1.2.3.4\0.5", 10));
    EXPECT_TRUE(Ip("10.0.0.1") < Ip("::1"));
    EXPECT_FALSE(Ip("10.0.0.1") == Ip("::ffff:10.0.0.1"));
    EXPECT_EQ(Ip("1.2.3.4").PtrName(), "4.3.2.1.in-addr.arpa.");
    std::string ptr6 = "1.";
    for (int i = 0; i < 31; ++i) ptr6 += "0.";
    EXPECT_EQ(Ip("::1").PtrName(), ptr6 + "ip6.arpa.");
    EXPECT_EQ(Ip("2001:db8::abcd").PtrName().substr(0, 8), "d.c.b.a.");
    EXPECT_EQ(Ip("255.255.255.0").ToPrefix(), 24u);
    EXPECT_EQ(Ip("255.0.255.0").ToPrefix(), 24u);
    EXPECT_EQ(Ip("0.0.0.0").ToPrefix(), 0u);
    EXPECT_EQ(Ip("ffff:ffff:ffff:ffff::").ToPrefix(), 64u);
    EXPECT_EQ(Ip("ffff:fe00::").ToPrefix(), 23u);
    for (const char* a : {"10.0.0.0", "10.0.0.255"}) EXPECT_TRUE(Ip(a).HavePossibleProblem()) << a;
    EXPECT_FALSE(Ip("10.0.0.1").HavePossibleProblem());
    EXPECT_FALSE(Ip("::").HavePossibleProblem());
    for (const char* a : {"0.1.2.3", "127.0.0.1", "255.255.255.255", "::", "::1", "fe80::1", "febf::1", "ff02::1"})
        EXPECT_TRUE(Ip(a).IsSpecial()) << a;
    for (const char* a : {"10.0.0.0", "fec0::1", "::2", "2001:db8::1"}) EXPECT_FALSE(Ip(a).IsSpecial()) << a;
    EXPECT_TRUE(Ip("127.1.2.3").IsLocal());
    EXPECT_FALSE(Ip("ff02::1").IsLocal());
}

TEST(NetIp, FailedAssignmentKeepsTheAddress) {
    Ip ip("10.0.0.1");
    EXPECT_EQ(ErrorOf([&] { ip = "10.0.0.300"; }), "value/ip/10.0.0.300");
    EXPECT_EQ(ip.Str(), "10.0.0.1");
    ip = "::2";
    EXPECT_EQ(ip.Str(), "::2");
}

TEST(NetIp, OrderFollowsTheBigIntegerValue) {
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const bool v6 = i % 2;
        unsigned char a[16], b[16];
        for (int k = 0; k < 16; ++k) a[k] = rng(), b[k] = k < 14 ? a[k] : rng();
        char ta[INET6_ADDRSTRLEN], tb[INET6_ADDRSTRLEN];
        const int family = v6 ? AF_INET6 : AF_INET;
        const Ip x(inet_ntop(family, a, ta, sizeof ta)), y(inet_ntop(family, b, tb, sizeof tb));
        const int c = vux_bignum::cmp(x.Bin(), y.Bin());
        ASSERT_EQ(x < y, c < 0);
        ASSERT_EQ(x == y, c == 0);
        ASSERT_EQ(x <= y, c <= 0);
        ASSERT_EQ(x > y, c > 0);
        ASSERT_EQ(x >= y, c >= 0);
        ASSERT_EQ(x != y, c != 0);
    }
}

TEST(NetIp, StepsCarryAndWrap) {
    struct Case {
        const char* from;
        const char* next;
    };
    for (const Case& c : std::initializer_list<Case>{{"255.255.255.255", "0.0.0.0"},
                                                     {"10.0.0.255", "10.0.1.0"},
                                                     {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "::"},
                                                     {"1::ffff", "1::1:0"},
                                                     {"2001:db8:0:ffff:ffff:ffff:ffff:ffff", "2001:db8:1::"}}) {
        Ip ip(c.from);
        EXPECT_EQ((++ip).Str(), c.next);
        EXPECT_EQ((ip--).Str(), c.next);
        EXPECT_EQ(ip.Str(), c.from);
    }
    Ip zero("::");
    EXPECT_EQ((--zero).Str(), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    EXPECT_EQ(Big(Ip("255.255.255.255").Bin()), "4294967295");
    EXPECT_EQ(Big(zero.Bin()), "340282366920938463463374607431768211455");
}

TEST(NetIp, CopiesNeverChangeThroughEachOther) {
    Ip a("10.0.0.7");
    const Ip b = a;
    ++a;
    a.SetMask(8);
    EXPECT_EQ(a.Str(), "10.0.0.0");
    EXPECT_EQ(b.Str(), "10.0.0.7");
    const Ip c("2001:db8::ff");
    EXPECT_EQ(c.FirstByMask(120).Str(), "2001:db8::");
    EXPECT_EQ(c.LastByMask(100).Str(), "2001:db8::fff:ffff");
    EXPECT_EQ(c.Str(), "2001:db8::ff");
}

TEST(NetIp, MasksAndPrefixComparison) {
    struct Case {
        const char* ip;
        std::size_t bits;
        const char* first;
        const char* last;
    };
    for (const Case& c : std::initializer_list<Case>{{"10.1.2.3", 0, "0.0.0.0", "255.255.255.255"},
                                                     {"10.1.2.3", 31, "10.1.2.2", "10.1.2.3"},
                                                     {"10.1.2.3", 32, "10.1.2.3", "10.1.2.3"},
                                                     {"10.1.2.3", 64, "10.1.2.3", "10.1.2.3"},
                                                     {"2001:db8::1", 0, "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
                                                     {"2001:db8:abcd::1", 36, "2001:db8:a000::", "2001:db8:afff:ffff:ffff:ffff:ffff:ffff"},
                                                     {"2001:db8::1", 128, "2001:db8::1", "2001:db8::1"},
                                                     {"2001:db8::1", 300, "2001:db8::1", "2001:db8::1"}}) {
        EXPECT_EQ(Ip(c.ip).FirstByMask(c.bits).Str(), c.first) << c.ip << "/" << c.bits;
        EXPECT_EQ(Ip(c.ip).LastByMask(c.bits).Str(), c.last) << c.ip << "/" << c.bits;
        EXPECT_TRUE(Ip(c.ip).Compare(Ip(c.last), c.bits)) << c.ip << "/" << c.bits;
    }
    EXPECT_FALSE(Ip("10.1.2.3").Compare(Ip("10.1.3.3"), 24));
    EXPECT_FALSE(Ip("2001:db8:a000::").Compare(Ip("2001:db8:b000::"), 36));
    EXPECT_FALSE(Ip("0.0.0.0").Compare(Ip("::"), 0));
}

TEST(NetRange, FormsAndSizes) {
    struct Case {
        const char* text;
        const char* first;
        const char* last;
        const char* size;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"10.0.0.5/24", "10.0.0.0", "10.0.0.255", "256"},
             {"10.0.0.5", "10.0.0.5", "10.0.0.5", "1"},
             {"10.0.0.1-10.0.1.0", "10.0.0.1", "10.0.1.0", "256"},
             {"2001:db8::/64", "2001:db8::", "2001:db8::ffff:ffff:ffff:ffff", "18446744073709551616"},
             {"::/0", "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "340282366920938463463374607431768211456"},
             {"0.0.0.0/0", "0.0.0.0", "255.255.255.255", "4294967296"}}) {
        const IpRange r(c.text);
        EXPECT_EQ(r.first().Str(), c.first) << c.text;
        EXPECT_EQ(r.last().Str(), c.last) << c.text;
        EXPECT_EQ(Big(r.Size()), c.size) << c.text;
    }
    EXPECT_EQ(IpRange("10.0.0.5/24").prefix(), 24u);
    const IpRange r("10.0.0.0/8");
    EXPECT_TRUE(r.Has(Ip("10.255.0.1")));
    EXPECT_FALSE(r.Has(Ip("11.0.0.0")));
    EXPECT_FALSE(r.Has(Ip("::ffff:10.0.0.1")));
    for (const char* bad : {"10.0.0.0/33", "10.0.0.0/x", "10.0.0.0/", "/8", "::/129", "10.0.0.0/4294967304"})
        EXPECT_EQ(ErrorOf([&] { IpRange{bad}; }), std::string("value/ip/") + bad) << bad;
    EXPECT_EQ(ErrorOf([] { IpRange("10.0.0.1-x"); }), "value/ip/x");
}

// ---- bind strings and socket addresses ----

TEST(NetBind, SplitAndQuote) {
    struct Case {
        const char* in;
        const char* addr;
        const char* port;
        const char* clear;
    };
    for (const Case& c : std::initializer_list<Case>{{"[::1]:8080", "[::1]", "8080", "::1"},
                                                     {"[::1]x", "[::1]", "", "::1"},
                                                     {"[::1]", "[::1]", "", "::1"},
                                                     {"host.example", "host.example", "", "host.example"},
                                                     {"1.2.3.4:80", "1.2.3.4", "80", "1.2.3.4"},
                                                     {"::1", "", ":1", ""},
                                                     {"[]:1", "[]", "1", ""},
                                                     {"", "", "", ""}}) {
        EXPECT_EQ(vux_net::SplitBind(c.in), std::make_pair(std::string(c.addr), std::string(c.port))) << c.in;
        EXPECT_EQ(vux_net::SplitBindClear(c.in).first, c.clear) << c.in;
    }
    EXPECT_EQ(vux_net::ClearIp("["), "[");
    EXPECT_EQ(vux_net::QuoteIp("::1"), "[::1]");
    EXPECT_EQ(vux_net::QuoteIp("1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(vux_net::QuoteIp("host"), "host");
}

TEST(NetSockAddr, FamiliesSizesAndErrors) {
    const vux_net::SockAddr v4("10.0.0.1", 80), v6(" 2001:DB8::1 ", 65535), unix_path("/tmp/vux.sock");
    EXPECT_EQ(v4.family(), AF_INET);
    EXPECT_EQ(v4.addrsize(), 16u);
    EXPECT_EQ(v4.port(), 80);
    EXPECT_EQ(v4.ip(), "10.0.0.1");
    EXPECT_EQ(v6.addrsize(), 28u);
    EXPECT_EQ(v6.ip(), "2001:db8::1");
    EXPECT_EQ(v6.port(), 65535);
    EXPECT_EQ(unix_path.addrsize(), 110u);
    EXPECT_EQ(vux_net::SockAddr(const_cast<sockaddr*>(v6.addr())).ip(), "2001:db8::1");
    EXPECT_EQ(ErrorOf([] { vux_net::SockAddr("10.0.0.1", 65536); }), "value/port/65536");
    EXPECT_EQ(ErrorOf([] { vux_net::SockAddr("10.0.0.1", -1); }), "value/port/-1");
    EXPECT_EQ(ErrorOf([] { vux_net::SockAddr("10.0.0", 1); }), "value/ip/10.0.0");
    EXPECT_EQ(ErrorOf([] { vux_net::SockAddr(std::string(108, 'a')); }), "value/path/" + std::string(108, 'a'));
    EXPECT_EQ(ErrorOf([] { vux_net::SockAddr(static_cast<sockaddr*>(nullptr)); }), "value/sockaddr/");
    sockaddr other = {};
    other.sa_family = AF_UNIX;
    EXPECT_EQ(ErrorOf([&] { vux_net::SockAddr{&other}; }), "value/sockaddr/");
}

TEST(NetSockAddr, BusyWhileAPeerHoldsThePort) {
    // A peer program binds a free port on loopback and says so, then waits for its input to end.
    testutil::TempDir dir;
    const std::string ports = dir / "ports";
    FILE* peer = popen(("python3 -c \"import socket,sys\n"
                       "s=socket.socket(); s.bind(('127.0.0.1',0)); s.listen(1)\n"
                       "u=socket.socket(type=socket.SOCK_DGRAM); u.bind(('127.0.0.1',0))\n"
                       "print(s.getsockname()[1], u.getsockname()[1], flush=True); sys.stdin.read()\" > " + ports)
                          .c_str(),
                      "w");
    ASSERT_TRUE(peer);
    int tcp = 0, udp = 0;
    for (int i = 0; i < 200 && !tcp; ++i) {
        usleep(20000);
        std::FILE* f = std::fopen(ports.c_str(), "r");
        if (f && std::fscanf(f, "%d %d", &tcp, &udp) != 2) tcp = 0;
        if (f) std::fclose(f);
    }
    ASSERT_GT(tcp, 0);
    using vux_net::SockAddr;
    EXPECT_TRUE(SockAddr("127.0.0.1", tcp).IsBusy(SockAddr::ProtoTcp));
    EXPECT_TRUE(SockAddr("127.0.0.1", udp).IsBusy(SockAddr::ProtoUdp));
    pclose(peer);
    EXPECT_FALSE(SockAddr("127.0.0.1", tcp).IsBusy(SockAddr::ProtoTcp));
    EXPECT_FALSE(SockAddr("127.0.0.1", udp).IsBusy(SockAddr::ProtoUdp));
}

// ---- the host, inside namespaces of its own ----

TEST(NetHost, AddressesAndInterfacesOfAPrivateNetwork) {
    testutil::TempDir dir;
    ASSERT_EQ(mkdir((dir / "etc").c_str(), 0755), 0);
    testutil::WriteFile(dir / "etc/iplist.conf", "10.1.2.3\n192.0.2.7\nnot-an-ip\n2001:DB8::9\n127.0.0.1\n192.0.2.7\n");
    const std::string out = InNamespaces(CLONE_NEWNET, [&] {
        Shell("ip link set lo up");
        AddLink("vux0");
        AddLink("vux1");
        Shell("ip addr add 10.1.2.3/24 dev vux0 && ip addr add 2001:db8::5/64 dev vux0 nodad");
        Shell("ip addr add 10.9.9.9/32 dev vux1 && ip addr add 2001:DB8:1::1/64 dev vux1 nodad");
        std::list<std::string> bare, listed;
        vux_net::GetIpList(bare);
        {
            testutil::ChDir cd(dir.path());
            vux_net::GetIpList(listed);
        }
        std::map<std::string, std::string> ifaces;
        vux_net::GetIpIfaceMap(ifaces);
        // The kernel lists IPv6 addresses in an order of its own.
        std::vector<std::string> v(bare.begin(), bare.end()), w(listed.begin(), listed.end());
        if (v.size() < 4 || w.size() < 4) return str::Join(v, " ");
        std::sort(v.begin() + 2, v.begin() + 4);
        std::sort(w.begin() + 2, w.begin() + 4);
        return str::Join(v, " ") + "|" + str::Join(w, " ") + "|" + str::Join(ifaces, " ");
    });
    EXPECT_EQ(out,
              "10.1.2.3 10.9.9.9 2001:db8:1::1 2001:db8::5|"
              "10.1.2.3 10.9.9.9 2001:db8:1::1 2001:db8::5 192.0.2.7 2001:db8::9 127.0.0.1|"
              "10.1.2.3=vux0 10.9.9.9=vux1 2001:db8:1::1=vux1 2001:db8::5=vux0");
}

TEST(NetHost, NameSetAndReadBackInAPrivateUtsNamespace) {
    testutil::TempDir dir;
    const std::string out = InNamespaces(CLONE_NEWUTS | CLONE_NEWNS | CLONE_NEWNET, [&] {
        PrivateEtc(dir.path());
        testutil::WriteFile("/etc/hostname", "old\n");
        testutil::WriteFile("/etc/hosts", "127.0.0.1 localhost\n# 127.0.1.1 vuxhost.commented.example vuxhost\n"
                                          "127.0.1.1 vuxhost.example.com vuxhost\n"
                                          "192.0.2.10 peer.vux.test\n2001:db8::10 peer.vux.test\n");
        vux_net::SetHostName("vuxhost");
        char kernel[65] = {};
        gethostname(kernel, 64);
        std::string r = std::string(kernel) + "|" + testutil::ReadFile("/etc/hostname") + "|" +
                        vux_net::GetHostName() + "|" + str::Join(vux_net::GetHostIp("peer.vux.test"), " ") + "|" +
                        str::Join(vux_net::GetHostIp("missing.vux.test"), " ");
        std::vector<std::string> v4;
        vux_net::GetHostIp("peer.vux.test", AF_INET, v4);
        r += "|" + str::Join(v4, " ");
        testutil::WriteFile("/etc/hosts", "127.0.1.1 10.0.0.1 vuxhost other\n");
        r += "|" + vux_net::GetHostName();
        vux_net::SetHostName("full.vux.example");
        return r + "|" + vux_net::GetHostName() + "|" + testutil::ReadFile("/etc/hostname");
    });
    EXPECT_EQ(out,
              "vuxhost|vuxhost|vuxhost.example.com|2001:db8::10 192.0.2.10||192.0.2.10|vuxhost|"
              "full.vux.example|full.vux.example");
    char kernel[65] = {};
    gethostname(kernel, 64);
    EXPECT_NE(std::string(kernel), "vuxhost");
}

TEST(NetHost, RefusedNameChangesNothing) {
    testutil::TempDir dir;
    const std::string out = InNamespaces(CLONE_NEWUTS | CLONE_NEWNS, [&] {
        PrivateEtc(dir.path());
        testutil::WriteFile("/etc/hostname", "before");
        vux_net::SetHostName(std::string(100, 'a'));
        return testutil::ReadFile("/etc/hostname");
    });
    EXPECT_EQ(out, "before");
}

TEST(NetGeoip, CountriesFromTheDatabases) {
    EXPECT_EQ(vux_net::GeoipCountry("8.8.8.8").Code(), "US");
    EXPECT_EQ(vux_net::GeoipCountry("8.8.8.0/24").Name(), "United States");
    EXPECT_EQ(vux_net::GeoipCountry("2001:4860:4860::8888").Code(), "US");
    EXPECT_EQ(vux_net::GeoipCountry("192.168.1.1").Code(), "");
    EXPECT_EQ(ErrorOf([] { vux_net::GeoipCountry("example.com"); }), "value/ipaddr/example.com");
    EXPECT_EQ(ErrorOf([] { vux_net::GeoipCountry(std::string("8.8.8.8\0x", 9)); }),
              "value/ipaddr/" + std::string("8.8.8.8\0x", 9));
}

TEST(NetTool, AddressRangeAndCheck) {
    struct Case {
        const char* args;
        const char* out;
        int status;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"net ip ' 10.0.0.255'",
              "address: 10.0.0.255\nfamily: IPv4\nreverse: 255.0.0.10.in-addr.arpa.\nvalue: 167772415\n"
              "flags: possible-problem\n",
              0},
             {"net ip ::1", "address: ::1\nfamily: IPv6\nreverse: 1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0."
                            "ip6.arpa.\nvalue: 1\nflags: local special\n", 0},
             {"net range 10.0.0.5/30", "first: 10.0.0.4\nlast: 10.0.0.7\nsize: 4\n", 0},
             {"net check Mac aabbccddeeff", "valid: AA:BB:CC:DD:EE:FF\n", 0},
             {"net check Email 'a..b@example.com'", "invalid: a..b@example.com\n", 1},
             {"net ip 10.1 2>/dev/null", "", 1},
             {"net check 2>/dev/null", "", 2}}) {
        FILE* p = popen((std::string(VUX_TOOL) + " " + c.args).c_str(), "r");
        ASSERT_TRUE(p);
        std::string out;
        char buf[512];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        const int status = pclose(p);
        EXPECT_EQ(out, c.out) << c.args;
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.args;
    }
}
