#include <arpa/inet.h>

#include <random>

#include <gtest/gtest.h>

#include <libvux/vuxtest.h>

namespace {

typedef bool (*Validator)(std::string&);

struct Case {
    std::string in;
    bool ok;
    // What the value holds afterwards; for a failure it must be the input.
    std::string out;
};

// "ok: out" or "no: out", so a failure shows both the verdict and what was written.
std::string Verdict(Validator f, std::string value) {
    const bool ok = f(value);
    return (ok ? "ok: " : "no: ") + value;
}

void Check(const char* name, Validator f, const std::vector<Case>& cases) {
    for (const Case& c : cases)
        EXPECT_EQ(Verdict(f, c.in), (c.ok ? "ok: " : "no: ") + (c.ok ? c.out : c.in)) << name << "(" << c.in << ")";
}

std::string Nul(const std::string& a, const std::string& b) { return a + std::string(1, '\0') + b; }

const std::string kBadUtf8 = "\xC3\x28\xFF";
const std::string kLong(300, 'a');

#define CHECK_VALIDATOR(f, ...) Check(#f, &test::f, __VA_ARGS__)

}  // namespace

TEST(TestGeneral, Table) {
    CHECK_VALIDATOR(NotEmpty, {{"", false, ""}, {"x", true, "x"}, {Nul("", ""), true, Nul("", "")}});
    CHECK_VALIDATOR(Numeric, {{"", true, ""}, {"0123", true, "0123"}, {"12a", false, ""}, {Nul("1", "2"), false, ""}});
    CHECK_VALIDATOR(AsciiPrintable, {{"", true, ""}, {" ~", true, " ~"}, {"\x7F", false, ""}, {kBadUtf8, false, ""},
                                     {Nul("a", "b"), false, ""}});
    CHECK_VALIDATOR(FileName, {{"", true, ""}, {std::string(256, 'f'), true, std::string(256, 'f')},
                               {std::string(257, 'f'), false, ""}, {"a\tb", false, ""}, {"a;b", false, ""},
                               {"a/b", false, ""}, {"..", true, ".."}, {Nul("a", "b"), false, ""}});
    CHECK_VALIDATOR(Path, {{"", false, ""}, {"/", true, "/"}, {"//a///b/", true, "/a/b/"}, {"a//b", true, "a/b"},
                           {"/a/b;c", false, ""}, {"/" + std::string(257, 'p'), false, ""},
                           {Nul("/a", "/b"), false, ""}});
    CHECK_VALIDATOR(FileNameList, {{" b  a\tb ", true, "a b"}, {"", true, ""}, {"a b|c", false, ""},
                                   {Nul("a ", "b"), false, ""}});
    CHECK_VALIDATOR(UnixUserName,
                    {{"Admin1", true, "admin1"}, {"1234", false, ""}, {"-x", false, ""}, {".x", false, ""},
                     {"x.", false, ""}, {"_", false, ""}, {"..", false, ""}, {"a_b-c.d", true, "a_b-c.d"},
                     {std::string(32, 'u'), true, std::string(32, 'u')}, {std::string(33, 'u'), false, ""},
                     {"a b", false, ""}, {"a@b", false, ""}, {kBadUtf8, false, ""}, {Nul("a", "b"), false, ""}});
    CHECK_VALIDATOR(Date, {{"2024-02-29", true, "2024-02-29"}, {"2024-3-5", true, "2024-03-05"}, {"x", false, ""},
                           {"", false, ""}, {Nul("2024-02-29", ""), false, ""}});
    CHECK_VALIDATOR(MultiLine, {{"a\r\nb\r", true, "a\nb"}, {"", true, ""}});
    CHECK_VALIDATOR(DotNumberSequence, {{"1..2.", true, "1..2."}, {"", true, ""}, {"1.a", false, ""},
                                        {Nul("1", "2"), false, ""}});
    const str::Enum colours("red", "green", nullptr);
    const test::InEnum in(colours);
    std::string v = "red", w = "blue", x = Nul("red", "");
    EXPECT_TRUE(in(v));
    EXPECT_FALSE(in(w));
    EXPECT_FALSE(in(x));
}

TEST(TestAddress, Table) {
    CHECK_VALIDATOR(Ip4, {{" 10.0.0.1\t", true, "10.0.0.1"}, {"10.1", false, ""}, {"010.0.0.1", false, ""},
                          {"::1", false, ""}, {Nul("10.0.0.1", ""), false, ""}, {kLong, false, ""}});
    CHECK_VALIDATOR(Ip6, {{"2001:DB8:0:0::1", true, "2001:db8::1"}, {"::ffff:1.2.3.4", true, "::ffff:1.2.3.4"},
                          {"1.2.3.4", false, ""}, {"1::2::3", false, ""}, {Nul("::1", "1"), false, ""}});
    CHECK_VALIDATOR(Ip, {{"1.2.3.4", true, "1.2.3.4"}, {"0:0::0", true, "::"}, {"x", false, ""}, {kBadUtf8, false, ""}});
    CHECK_VALIDATOR(Net, {{" 10.0.0.1/08 ", true, "10.0.0.1/8"}, {"10.0.0.1/33", false, ""}, {"10.0.0.1/", false, ""},
                          {"::1/128", true, "::1/128"}, {"::1/129", false, ""}, {"10.0.0.1", false, ""},
                          {"10.0.0.1/4294967304", false, ""}, {"10.0.0.1/ 8", false, ""}, {"10.0.0.1/8x", false, ""},
                          {Nul("10.0.0.1/8", ""), false, ""}});
    CHECK_VALIDATOR(NetMask6, {{"0128", true, "128"}, {"129", false, ""}, {"", false, ""},
                               {"00000000000000000000000000064", true, "64"}, {"4294967297", false, ""}});
    CHECK_VALIDATOR(NetMask4, {{"255.255.255.0", true, "255.255.255.0"}, {"255.255.0.255", false, ""},
                               {"0.0.0.0", true, "0.0.0.0"}, {"255.255.255.255", true, "255.255.255.255"},
                               {"08", true, "8"}, {"33", false, ""}, {"255.255.255.254", true, "255.255.255.254"},
                               {"4294967304", false, ""}});
    CHECK_VALIDATOR(NetMask, {{"64", true, "64"}, {"255.255.128.0", true, "255.255.128.0"}, {"0.255.0.0", false, ""}, {kLong, false, ""}});
    CHECK_VALIDATOR(IpRange, {{" 10.0.0.1-10.0.0.9 ", true, "10.0.0.1-10.0.0.9"}, {"10.0.0.9-10.0.0.1", false, ""},
                              {"10.0.0.1-::2", false, ""}, {"::1-::FFFF", true, "::1-::FFFF"},
                              {"10.0.0.1 -10.0.0.2", false, ""}, {"10.0.0.0/24", true, "10.0.0.0/24"},
                              {"2001:DB8::1", true, "2001:db8::1"}, {"10.0.0.1-", false, ""},
                              {Nul("10.0.0.1-", "10.0.0.2"), false, ""}});
    CHECK_VALIDATOR(Mac, {{"aa-bb-cc-dd-ee-ff", true, "AA:BB:CC:DD:EE:FF"}, {"aabbccddeeff", true, "AA:BB:CC:DD:EE:FF"},
                          {"aa;bb;cc;dd;ee;0f", true, "AA:BB:CC:DD:EE:0F"}, {"aa:bb-cc:dd:ee:ff", false, ""},
                          {"aa.bb.cc.dd.ee.ff", false, ""}, {"aabbccddeefg", false, ""}, {"aabbccddeef", false, ""},
                          {Nul("aabbccddee", "f"), false, ""}});
}

TEST(TestAddress, AgreesWithTheCLibraryOnGeneratedText) {
    std::mt19937 rng(5);
    const std::string alphabet = "0123456789abcdefABCDEF:::...";
    for (int i = 0; i < 50000; ++i) {
        std::string s(1 + rng() % 20, ' ');
        for (char& c : s) c = alphabet[rng() % alphabet.size()];
        unsigned char b[16];
        char text[INET6_ADDRSTRLEN];
        for (int family : {AF_INET, AF_INET6}) {
            const bool libc = inet_pton(family, s.c_str(), b) == 1;
            std::string v = s;
            const bool ok = family == AF_INET ? test::Ip4(v) : test::Ip6(v);
            ASSERT_EQ(ok, libc) << s;
            ASSERT_EQ(v, libc ? inet_ntop(family, b, text, sizeof text) : s) << s;
        }
    }
}

TEST(TestName, Table) {
    CHECK_VALIDATOR(HostName, {{"ns1.example", true, "ns1.example"}, {"ns1.1example", false, ""}, {"a", false, ""},
                               {"ab", true, "ab"}, {std::string(25, 'h'), false, ""}, {".ns.example", false, ""},
                               {"ns-.example", false, ""}, {"ns..example", false, ""}, {Nul("ns", "1.ex"), false, ""}});
    const std::string label63(63, 'l');
    CHECK_VALIDATOR(SubDomain,
                    {{"WWW.Example.COM", true, "www.example.com"}, {"www.example.com...", true, "www.example.com."},
                     {"@", true, "@"}, {"_dmarc", true, "_dmarc"}, {label63, true, label63},
                     {std::string(64, 'l'), false, ""}, {"-a.example", false, ""}, {"a..b", false, ""},
                     {"...", false, ""}, {"", false, ""}, {"пример.рф", true, "xn--e1afmkfd.xn--p1ai"},
                     {"0/25", true, "0/25"}, {"1/25", false, ""}, {"128/25", true, "128/25"}, {"0/23", false, ""},
                     {"a b", false, ""}, {kBadUtf8 + ".example", false, ""}, {Nul("example.com", ".evil"), false, ""}});
    CHECK_VALIDATOR(Domain,
                    {{"Example.COM.", true, "example.com"}, {"localhost", false, ""}, {".example.com", false, ""},
                     {"_srv.example.com", false, ""}, {"1.0.0.10.in-addr.arpa", true, "1.0.0.10.in-addr.arpa"},
                     {"0/25.2.0.192.in-addr.arpa", true, "0/25.2.0.192.in-addr.arpa"},
                     {"0/25.0.192.in-addr.arpa", false, ""}, {"1.2.3.4.5.in-addr.arpa", false, ""},
                     {"256.0.0.10.in-addr.arpa", false, ""}, {"1..10.in-addr.arpa", false, ""},
                     {"A.B.ip6.arpa", true, "a.b.ip6.arpa"}, {"ab.ip6.arpa", false, ""},
                     {"пример.рф", true, "xn--e1afmkfd.xn--p1ai"}, {"example.рф", false, ""}, {"я.рф", false, ""},
                     {"пример.com", true, "xn--e1afmkfd.com"},
                     {std::string(250, 'a') + ".com", false, ""},
                     {"Bücher.example", true, "xn--bcher-kva.example"},
                     // 239 bytes as typed, over 253 once encoded.
                     {str::Join(std::vector<std::string>(5, "ä" + std::string(45, 'a')), "."), false, ""},
                     {kBadUtf8 + ".com", false, ""}, {Nul("example.com", ".evil.org"), false, ""}});
    CHECK_VALIDATOR(DomainRecordName,
                    {{"*.Example.com", true, "*.example.com"}, {"WWW", true, "www"},
                     {"1.0.0.10.in-addr.arpa/24", true, "1.0.0.10.in-addr.arpa/24"}, {"www.example/24", false, ""},
                     {"x.arpa/2a", false, ""}, {Nul("www", ""), false, ""},
                     // ".arpa" must stand in the canonical text, not just before letters IDN re-encodes.
                     {"L.ip6.arpa\xd2\x8a/", false, ""}});
    CHECK_VALIDATOR(SrvRecordTarget, {{".", true, "."}, {"Host.example.", true, "host.example."}, {"..", false, ""},
                                      {kLong, false, ""}});
    CHECK_VALIDATOR(Email, {{"John.Doe+x@Example.COM", true, "john.doe+x@example.com"}, {"a..b@example.com", false, ""},
                            {".a@example.com", false, ""}, {"_@example.com", false, ""}, {"a@localhost", false, ""},
                            {"@example.com", false, ""}, {"no-at", false, ""}, {"a b@example.com", false, ""},
                            {Nul("a", "@example.com"), false, ""}});
    CHECK_VALIDATOR(Url, {{"http://user:pw@[2001:DB8:0:0::1]:8080/p?q=1", true, "http://user:pw@[2001:db8::1]:8080/p?q=1"},
                          {"https://Example.COM", true, "https://example.com/"},
                          {"https://xn--e1afmkfd.xn--p1ai/x", true, "https://пример.рф/x"},
                          {"ftp://10.0.0.1:21/", true, "ftp://10.0.0.1:21/"}, {"http://ns1/", true, "http://ns1/"},
                          {"example.com/x", false, ""}, {"://example.com", false, ""}, {"ht-tp://example.com", false, ""},
                          {"http:///x", false, ""}, {"http://[::g]/", false, ""}, {"http://example.com/a\tb", false, ""},
                          {"http://example.com/" + kBadUtf8, false, ""}, {Nul("http://example.com/", "x"), false, ""}});
}

TEST(TestName, WithAsterisks) {
    Check("WithAster", &test::WithAster<&test::SubDomain>,
          {{"*.Example.com", true, "*.example.com"}, {"*", true, "*"}, {"*.*", true, "*.*"},
           {"*.*.A.b", true, "*.*.a.b"}, {"A.b", true, "a.b"}, {"*.-a", false, ""}, {"a.*.b", false, ""},
           {"*." + std::string(64, 'x'), false, ""}});
}

TEST(TestName, TsigKeyIsTrimmedEvenWhenItFails) {
    const std::vector<std::pair<std::string, std::string>> cases = {{"  key hmac-md5.x_1 ", "ok: key hmac-md5.x_1"},
                                                                    {" key 1abc ", "no: key 1abc"},
                                                                    {"key abc-", "no: key abc-"},
                                                                    {"key ", "no: key"},
                                                                    {"keyabc", "no: keyabc"},
                                                                    {" key ab\xC3\xA4", "no: key ab\xC3\xA4"},
                                                                    {Nul("key a", "b"), "no: " + Nul("key a", "b")}};
    for (const auto& c : cases) EXPECT_EQ(Verdict(&test::TsigKey, c.first), c.second) << c.first;
}
