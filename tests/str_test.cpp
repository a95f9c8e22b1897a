// Tests of the string toolkit.
#include <libvux/vuxstr.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <deque>
#include <list>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_util.h"

using testutil::ErrorOf;
using testutil::ExpectPairs;

namespace {

// Random UTF-8 text over the whole code space (surrogates excluded).
std::string RandomUtf8(std::mt19937& gen, std::size_t chars) {
    const unsigned long limit[] = {0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    std::string out;
    for (std::size_t i = 0; i < chars; ++i) {
        unsigned long cp = std::uniform_int_distribution<unsigned long>(1, limit[gen() % 4])(gen);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xE000;
        const int extra = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        out += char(extra ? (0xFF00 >> (extra + 1)) | (cp >> (6 * extra)) : cp);  // lead 110, 1110 or 11110
        for (int k = extra - 1; k >= 0; --k) out += char(0x80 | ((cp >> (6 * k)) & 0x3F));
    }
    return out;
}

// The case-folding table is loaded once per process, so this runs first and
// is the only test that folds.
TEST(StrCaseFold, LoadsTableFromInstallDir) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "skins/common/CaseFolding.txt", testutil::ReadFile(VUX_CASEFOLDING_TXT));
    testutil::ChDir cd(dir.path());
    ExpectPairs({{str::utf8::toCasefold("HeLLo"), "hello"},
                 {str::utf8::toCasefold("ПРИВЕТ Straße"), "привет straße"},  // "F" entries are not used
                 {str::utf8::toCasefold("\xE1\xBA\x9E"), "\xC3\x9F"},        // U+1E9E capital sharp s (S)
                 {str::utf8::toCasefold("123 ;#"), "123 ;#"}});
    EXPECT_GT(Singleton<str::utf8::Case>::Instance().size(), 1000u);
    EXPECT_EQ(ErrorOf([] { str::utf8::toCasefold("A\xF0\x9F\x98\x80"); }), "str/utf8/f09f9880/report");
}

TEST(StrWords, TakeFromEitherEnd) {
    struct Case { const char *in, *sep, *word, *rest; };  // separator "ws" for whitespace
    const Case front[] = {
        {"a,b", ",", "a", "b"}, {"a", ",", "a", ""}, {",a", ",", "", "a"}, {"a::b::c", "::", "a", "b::c"},
        {"b::c", "", "b::c", ""}, {"one \t\r\ntwo  x", "ws", "one", "two  x"}, {" lead", "ws", "", "lead"},
        {"tail  ", "ws", "tail", ""},
    };
    const Case back[] = {
        {"a.b.c", ".", "c", "a.b"}, {"a.b", ".b", "", "a"}, {"a", "x", "a", ""}, {"x y", "", "x y", ""},
        {"path to  \t file", "ws", "file", "path to"}, {"  only", "ws", "only", ""}, {"word", "ws", "word", ""},
    };
    // The byte form is used for one-byte separators; the string form must agree with it.
    auto take = [](bool from_back, std::string& s, const std::string& sep, bool byte_form) {
        if (sep == "ws") return from_back ? str::RGetWord(s) : str::GetWord(s);
        if (byte_form) return from_back ? str::RGetWord(s, sep[0]) : str::GetWord(s, sep[0]);
        return from_back ? str::RGetWord(s, sep) : str::GetWord(s, sep);
    };
    for (bool from_back : {false, true}) {
        for (const Case& c : from_back ? std::span<const Case>(back) : std::span<const Case>(front)) {
            for (bool byte_form : {std::strlen(c.sep) == 1, false}) {
                std::string s = c.in;
                EXPECT_EQ(take(from_back, s, c.sep, byte_form) + "|" + s, std::string(c.word) + "|" + c.rest) << c.in;
            }
        }
    }
}

TEST(StrSplitJoin, SequencesSetsAndMaps) {
    auto split = [](auto into, const char* text, const char* sep) { return str::Split(text, sep, into), into; };
    using Strings = std::vector<std::string>;
    using Map = std::map<std::string, std::string>;
    EXPECT_EQ(split(Strings{"keep"}, "a, ,b,,c", ","), (Strings{"keep", "a", "", "b", "c"}));
    EXPECT_EQ(split(std::list<std::string>(), " x ;; y;", ";"), (std::list<std::string>{"x", "y"}));
    EXPECT_EQ(split(std::set<std::string>(), "b a b c", " "), (std::set<std::string>{"a", "b", "c"}));
    EXPECT_EQ(split(Map(), "x=1;y;=2;x=3", ";"), (Map{{"x", "3"}, {"y", ""}}));
    // Neither key nor value is trimmed; only the first '=' splits.
    EXPECT_EQ(split(Map(), " k = v=w ", ";"), (Map{{" k ", " v=w "}}));
    ExpectPairs({{str::Join(Strings{"", "a", "", "b"}, ","), "a,b"},
                 {str::Join(std::deque<std::string>{"x", "y"}, ", "), "x, y"},
                 {str::Join(std::set<std::string>{"b", "a"}, "|"), "a|b"},
                 {str::Join(std::list<std::string>{}, ","), ""},
                 {str::Join(Map{{"a", "1"}, {"b", ""}}, "&"), "a=1&b="}});
}

TEST(StrEdit, AppendTrimCaseReplace) {
    std::string s = "a";
    EXPECT_EQ(&str::inpl::Append(s, "b", "+"), &s);
    const std::string orig = "MiXed";
    std::string vars = "$h:$p";
    str::inpl::Replace(vars, {{"$h", "host"}, {"$p", "$h"}});
    ExpectPairs({
        {str::Append("", "x", ","), "x"}, {str::Append("a", "", ","), "a"}, {str::Append("a", "b", ", "), "a, b"},
        {s, "a+b"}, {str::Trim(" \t\r\n x y \n"), "x y"}, {str::Trim(" \t\r\n"), ""}, {str::Trim(""), ""},
        {str::Trim("\vx\v"), "\vx\v"},  // only four bytes count as whitespace
        {str::Upper("abc-XYZ \xC3\xA9"), "ABC-XYZ \xC3\xA9"}, {str::Lower("ABC-xyz"), "abc-xyz"},
        {str::Lower(orig), "mixed"}, {orig, "MiXed"},
        // Left to right; the replacement text is not searched again.
        {str::Replace("aaa", "aa", "b"), "ba"}, {str::Replace("a.b.c", ".", "::"), "a::b::c"},
        {str::Replace("xx", "x", "xx"), "xxxx"}, {str::Replace("none", "q", "z"), "none"},
        {str::Replace("abc", "", "z"), "abc"}, {str::Replace(std::string("a\0b", 3), std::string("\0", 1), "-"), "a-b"},
        // A map replaces simultaneously: at the same position the first key in key order wins; else the
        // earliest occurrence wins regardless of key order, and overlapped keys are searched again.
        {str::Replace("abba", {{"a", "b"}, {"b", "a"}}), "baab"}, {str::Replace("abc", {{"a", "1"},
        {"ab", "2"}}), "1bc"},
        {str::Replace("xyz yz", {{"yz", "Y"}, {"xy", "X"}}), "Xz Y"},
        {str::Replace("<&>", {{"<", "&lt;"}, {"&", "&amp;"}, {">", "&gt;"}}), "&lt;&amp;&gt;"},
        {str::Replace("plain", {{"q", "z"}}), "plain"}, {str::Replace("ab", {{"", "z"}, {"b", "c"}}), "ac"},
        {vars, "host:$h"},
    });
    const bool holds[] = {str::StartsWith("prefix.rest", "prefix"), str::StartsWith("x", ""),
                          !str::StartsWith("pre", "prefix"),       str::EndsWith("file.tar.gz", ".gz"),
                          !str::EndsWith("gz", "x.gz"),            !str::EndsWith("file.gz", ".GZ")};
    for (std::size_t i = 0; i < std::size(holds); ++i) EXPECT_TRUE(holds[i]) << "prefix/suffix check " << i;
}

TEST(StrVersion, NaturalOrder) {
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    const struct { const char *a, *b; int expected; } cases[] = {
        {"1.10", "1.9", 1}, {"1.2", "1.2", 0}, {"1.2", "1.2.1", -1}, {"1.02", "1.2", 0}, {"2.0", "10.0", -1},
        {"1.0a", "1.0b", -1}, {"1.100", "1.99", 1}, {"1.20", "1.3", 1}, {"1.005", "1.4", 1}, {"1.0.0", "1.0", 1},
        {"", "", 0}, {"", "1", -1}, {"1.00", "1.0", 1}, {"5.3-r1", "5.3-r10", -1}, {"abc", "abd", -1},
        {"1.0", "1.00", -1}, {"007", "7", 0}, {"10", "9", 1}, {"1.0a", "1.5", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sign(str::CompareVersion(c.a, c.b)), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(sign(str::CompareVersion(c.b, c.a)), -c.expected) << c.b << " vs " << c.a;
    }
    // Non-digit differences are signed byte differences.
    EXPECT_EQ(str::CompareVersion("a", "c"), 'a' - 'c');
    EXPECT_LT(str::CompareVersion("1.\xC3", "1.a"), 0);
}

TEST(StrNumbers, ConversionsAndFormat) {
    const std::string big(5000, 'q');
    ExpectPairs({
        {str::Str(0L), "0"}, {str::Str(-9223372036854775807L - 1), "-9223372036854775808"},
        {str::Str(3.14159, 2), "3.14"}, {str::Str(-0.5, 0), "-0"},
        {std::to_string(str::Str(1e40, 0).size()), "41"},  // not cut at the short buffer
        {std::to_string(str::Int("  -42abc")), "-42"}, {std::to_string(str::Int("+7")), "7"},
        {std::to_string(str::Int("x1")), "0"}, {std::to_string(str::Int64("9000000000")), "9000000000"},
        {str::Format("%s-%03d", "id", 7), "id-007"}, {str::Format("<%s>", big.c_str()), "<" + big + ">"},
    });
    EXPECT_DOUBLE_EQ(str::Double(" 2.5e3xyz"), 2500.0);
    EXPECT_DOUBLE_EQ(str::Double("nope"), 0.0);
    // A wide character that the C locale cannot represent makes vasprintf fail.
    const wchar_t wide[] = {0x4E2D, 0};
    EXPECT_EQ(ErrorOf([&] { str::Format("%ls", wide); }), "str/format/%ls/report");
}

TEST(StrEnum, OrderedDistinct) {
    str::Enum e("zeta", "alpha", "mid", "alpha", nullptr);
    EXPECT_EQ(e.size(), 3u);
    EXPECT_TRUE(e.Has("mid") && !e.Has("Mid"));
    e.Add("beta").Add("zeta");
    EXPECT_EQ(std::vector<std::string>(e.begin(), e.end()), (std::vector<std::string>{"alpha", "beta", "mid", "zeta"}));
    EXPECT_EQ(str::Enum().size() + str::Enum(nullptr).size(), 0u);
}

TEST(StrUtf8, IterateCountCodeAndBounds) {
    const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a, U+00E9, U+20AC, U+1F600, z
    EXPECT_EQ(str::utf8::len(s), 5u);
    ExpectPairs({{str::utf8::at(s, 0), "a"}, {str::utf8::at(s, 1), "\xC3\xA9"}, {str::utf8::at(s, 2), "\xE2\x82\xAC"},
                 {str::utf8::at(s, 4), "z"}, {ErrorOf([&] { str::utf8::at(s, 3); }), "str/utf8/f09f9880/report"}});
    std::vector<unsigned long> codes;
    str::utf8::iterator it(s), end = str::utf8::iterator::End(s);
    for (int i = 0; i < 3; ++i, ++it) codes.push_back(it.code());
    EXPECT_EQ(codes, (std::vector<unsigned long>{0x61, 0xE9, 0x20AC}));
    EXPECT_THROW(it.code(), str::Fail);
    EXPECT_EQ((++it).code(), 0x7Au);
    EXPECT_TRUE(++it == end);
    EXPECT_TRUE(++it == end) << "stays at the end";
    std::vector<std::size_t> back;
    for (str::utf8::iterator b = end; b != str::utf8::iterator(s);)
        back.push_back(static_cast<std::size_t>((--b).ptr() - s.data()));
    EXPECT_EQ(back, (std::vector<std::size_t>{10, 6, 3, 1, 0}));

    EXPECT_THROW(str::utf8::at("", 0), std::out_of_range);
    EXPECT_STREQ(testutil::Catch<std::out_of_range>([] { str::utf8::at("ab", 2); }).what(), "utf8");
    // A lead byte promising more bytes than remain never reads past the end.
    const std::string cut = "x\xE2\x82";
    EXPECT_EQ(str::utf8::len(cut), 2u);
    EXPECT_EQ(str::utf8::at(cut, 1), "\xE2\x82");
    EXPECT_EQ(ErrorOf([] { str::utf8::at("\xFF", 0); }), "str/utf8/ff/report");
    const std::string stray = "\x80\x80";  // continuation bytes step one at a time forwards
    EXPECT_EQ(str::utf8::len(stray), 2u);
    str::utf8::iterator b = str::utf8::iterator::End(stray);
    --b;
    const char* first = b.ptr();
    EXPECT_TRUE(first == stray.data() && (--b).ptr() == stray.data()) << "backwards they stop at the start";
    const std::string bytes = testutil::RandomBytes(4096, 7);
    std::size_t n = 0;
    for (str::utf8::iterator i(bytes), e = str::utf8::iterator::End(bytes); i != e; ++i, ++n)
        ASSERT_LT(i.ptr(), bytes.data() + bytes.size());
    EXPECT_EQ(n, str::utf8::len(bytes));
}

TEST(StrEncodings, Base64) {
    const char* rfc[][2] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                            {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (auto& v : rfc) ExpectPairs({{str::base64::Encode(v[0]), v[1]}, {str::base64::Decode(v[1]), v[0]}});
    ExpectPairs({
        {str::base64::Encode("\xFB\xFF"), "+/8="}, {str::base64::Decode("QUJD\nRA=="), "ABCD"},
        {str::base64::Decode("QQ"), ""}, {str::base64::Decode(" Q U J D !"), "ABC"},
        {str::base64::Decode("QQ==QUJD"), "A"},  // stops after a padded group
        {str::base64::Decode("Q==="), ""},       // more than two '=' stops at once
        {str::base64::Decode("QUJDQ\nUJDQUJD"), "ABCABCABC"},  // a break inside a group, then clean again
        {str::base64::Decode("QUJDQUJDQQ==QUJD"), "ABCABCA"},
    });
    for (std::size_t n = 0; n < 300; n += 7) {
        const std::string b = testutil::RandomBytes(n, 11 + n);
        EXPECT_EQ(str::base64::Decode(str::base64::Encode(b)), b);
    }
    // Junk anywhere is skipped: the same bytes come out as from the clean text.
    for (unsigned seed = 1; seed <= 40; ++seed) {
        const std::string plain = testutil::RandomBytes(seed * 13, seed);
        const std::string clean = str::base64::Encode(plain);
        const std::string noise = testutil::RandomBytes(clean.size(), seed + 100);
        std::string dirty;
        for (std::size_t i = 0; i < clean.size(); ++i) {
            if (noise[i] & 1) dirty += "\r\n !*"[static_cast<unsigned char>(noise[i]) % 6];
            dirty += clean[i];
        }
        EXPECT_EQ(str::base64::Decode(dirty), plain) << seed;
    }
    str::base64::Decode(testutil::RandomBytes(10000, 3));  // total on garbage
}

TEST(StrEncodings, HexUrlAndBadchars) {
    const std::string b = testutil::RandomBytes(2048, 13), e = str::badchars::Escape(b, "\x01\x02%\x80\xFF", '%');
    EXPECT_GT(e.size(), b.size());
    ExpectPairs({
        {str::hex::Encode(std::string("\x0a\xff\x00", 3)), "0aff00"}, {str::hex::Decode("0aFF"), "\x0a\xff"},
        {str::hex::Decode(""), ""}, {ErrorOf([] { str::hex::Decode("abc"); }), "str/hex_len/3/report"},
        {ErrorOf([] { str::hex::Decode("0x"); }), "str/hex/x/report"},
        {ErrorOf([] { str::hex::Decode(std::string("0\0", 2)); }), std::string("str/hex/\0/report", 16)},
        {str::hex::Decode(str::hex::Encode(b)), b}, {str::hex::Decode(str::Upper(str::hex::Encode(b))), b},

        {str::url::Encode("a b-c"), "a%20b%2Dc"}, {str::url::Encode("Az09_.~\xC3\xA9"), "Az09%5F%2E%7E%C3%A9"},
        {str::url::Decode("a+b%41%u00e9"), "a bA\xC3\xA9"}, {str::url::Decode("%u0041%u20AC"), "A\xE2\x82\xAC"},
        {str::url::Decode("abc%4"), "abc"}, {str::url::Decode("abc%"), "abc"}, {str::url::Decode("x%u12"), "x"},
        {str::url::Decode("%u123"), ""},
        {str::url::Decode("%U0041"), "\xE0" "041"},  // only lower-case 'u' starts the wide form
        {std::to_string(str::url::Decode("%zz").size()), "1"},  // malformed escapes still give one byte
        {str::url::Decode(str::url::Encode(b)), b},

        {str::badchars::Escape("a;b\\c", ";\\", '\\'), "a\\;b\\\\c"},
        {str::badchars::Unescape("a\\;b\\\\c", '\\'), "a;b\\c"},
        {str::badchars::Unescape("end\\", '\\'), "end\\"},  // trailing escape kept, nothing read beyond
        {str::badchars::Escape(std::string("a\0b", 3), "b", '\\'), std::string("a\0\\b", 4)},
        {str::badchars::Escape("abc", "", '\\'), "abc"}, {str::badchars::Unescape(e, '%'), b},
    });
}

TEST(StrPuny, EncodeDecode) {
    const std::string cyr = "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xD1\x80\xD1\x84";
    const std::string label(70, 'a'), dotted = "." + label, nul("a\0b", 3);
    ExpectPairs({
        {str::puny::Encode("m\xC3\xBCnchen.de"), "xn--mnchen-3ya.de"},
        {str::puny::Decode("xn--mnchen-3ya.de"), "m\xC3\xBCnchen.de"},
        {str::puny::Encode(".m\xC3\xBCnchen.de"), ".xn--mnchen-3ya.de"}, {str::puny::Encode("*"), "*"},
        {str::puny::Decode("*"), "*"}, {str::puny::Encode("plain.example"), "plain.example"},
        {str::puny::Decode(str::puny::Encode(cyr)), cyr},
        {ErrorOf([&] { str::puny::Encode(label); }), "str/punyencode/" + label + "/report"},
        {ErrorOf([&] { str::puny::Encode(dotted); }), "str/punyencode/" + dotted + "/report"},
        {ErrorOf([&] { str::puny::Encode(nul); }), "str/punyencode/" + nul + "/report"},
        {ErrorOf([] { str::puny::Decode("\xFF\xFE"); }), "str/punydecode/\xFF\xFE/report"},
    });
}

TEST(StrConv, WholeChunkedAndFailures) {
    str::Conv latin("ISO-8859-1", "UTF-8");
    ExpectPairs({{latin.Convert("caf\xE9"), "caf\xC3\xA9"}, {latin.Convert(std::string()), ""},
    {latin.Convert(nullptr), ""}});
    // A two-byte and a four-byte character cut across chunks.
    str::Conv c("UTF-8", "UTF-16LE");
    std::string out = c.ConvertChunk("a\xC3");
    out += c.ConvertChunk(std::string("\xA9\xF0\x9F"));
    out += c.ConvertChunk("\x98", 1);
    out += c.ConvertChunk("\x80z");
    c.ConvertFinish();
    EXPECT_EQ(out, std::string("a\0\xE9\0\x3D\xD8\x00\xDE" "z\0", 10));
    // Large input crosses the internal output buffer many times.
    std::mt19937 gen(1);
    const std::string text = RandomUtf8(gen, 5000);
    str::Conv to16("UTF-8", "UTF-16LE"), to8("UTF-16LE", "UTF-8");
    std::string wide;
    for (std::size_t i = 0; i < text.size(); i += 333) wide += to16.ConvertChunk(text.substr(i, 333));
    to16.ConvertFinish();
    EXPECT_EQ(to8.Convert(wide), text);

    // Each step in order: a chunk carries an open sequence into the next step.
    ExpectPairs({
        {ErrorOf([] { str::Conv("NO-SUCH-CHARSET", "UTF-8"); }), "conv/iconv_open/" + std::to_string(EINVAL)},
        {ErrorOf([&] { c.Convert("ok\xFF\xFEzzzzzz"); }), "conv/badseq/fffe7a7a7a7a"},
        {ErrorOf([&] { c.Convert("ends in \xE2\x82"); }), "conv/badseq/e282"},
        {c.Convert("A"), std::string("A\0", 2)},  // usable again after failures
        {c.ConvertChunk("x\xF0\x9F"), std::string("x\0", 2)}, {ErrorOf([&] { c.ConvertFinish(); }), "conv/badseq/f09f"},
        {c.ConvertChunk("\xE2"), ""},
        {ErrorOf([&] { c.ConvertChunk("\x41"); }), "conv/badseq/e2"},  // carried bytes that never complete
    });
    c.Clear();
    c.ConvertChunk("\xC3");
    c.Clear();
    EXPECT_EQ(c.Convert("B"), std::string("B\0", 2));
    str::Conv shared = c;  // copies share the carried bytes
    shared.ConvertChunk("\xC3");
    EXPECT_EQ(c.ConvertChunk("\xA9"), std::string("\xE9\0", 2));
    c.ConvertFinish();
}

TEST(StrConv, U16String) {
    std::mt19937 gen(2);
    auto utf8 = [](const str::u16string& u) { return static_cast<std::string>(u); };
    for (int round = 0; round < 20; ++round) {
        const std::string text = RandomUtf8(gen, 1 + round * 37);
        ExpectPairs({{utf8(str::u16string(text)), text}, {utf8(str::u16string(text.c_str(), text.size())), text}});
    }
    str::u16string e("\xE2\x82\xAC" "A\xF0\x9F\x98\x80");
    EXPECT_EQ(static_cast<str::u16string::base>(e), (str::u16string::base{0x20AC, 0x41, 0xD83D, 0xDE00}));
    const unsigned short units[] = {0x48, 0x49, 0}, lone[] = {0xD800, 0x41, 0};
    ExpectPairs({{utf8(str::u16string(units)), "HI"}, {utf8(str::u16string(units, 1)), "H"},
    {utf8(str::u16string()), ""}});
    auto null_text = [] { str::u16string bad(static_cast<const char*>(nullptr)); };
    EXPECT_STREQ(testutil::Catch<std::logic_error>(null_text).what(), "Convert8to16 null not valid");
    EXPECT_EQ(ErrorOf([] { str::u16string bad("\xFF"); }).substr(0, 11), "conv/badseq");
    EXPECT_EQ(ErrorOf([&] { (void)static_cast<std::string>(str::u16string(lone)); }).substr(0, 11), "conv/badseq");

    // The two process-wide converters are shared by every thread.
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &bad] {
            std::mt19937 gen(100 + t);
            for (int i = 0; i < 300; ++i) {
                const std::string text = RandomUtf8(gen, 1 + i % 50);
                if (static_cast<std::string>(str::u16string(text)) != text) ++bad[t];
                if (str::Random(1 + i % 40).size() != std::size_t(1 + i % 40)) ++bad[t];
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
}

TEST(StrRandom, BytesAndSalt) {
    EXPECT_EQ(str::Random(0), "");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) seen.insert(str::Random(16));
    EXPECT_EQ(seen.size(), 200u);
    const std::string big = str::Random(70000);  // past several budget refills
    ASSERT_EQ(big.size(), 70000u);
    std::size_t counts[256] = {};
    for (unsigned char c : big) ++counts[c];
    for (std::size_t c : counts) EXPECT_GT(c, 150u);  // ~273 expected per value
    for (int i = 0; i < 50; ++i) {
        const std::string salt = str::GenerateSalt(6);
        ASSERT_EQ(salt.size(), 8u);
        EXPECT_EQ(salt.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789./"),
                  std::string::npos) << salt;
    }
    EXPECT_EQ(str::GenerateSalt(12).size(), 16u);
}

TEST(StrCrypt, FormatsVerifyByRehash) {
    // {format, prefix, where the '$' after the salt is}
    const struct { str::CryptFormat format; const char* prefix; std::size_t salt_end; } formats[] = {
        {str::CryptMD5, "$1$", 11}, {str::CryptSHA256, "$5$", 19}};
    for (const auto& [format, prefix, salt_end] : formats) {
        const std::string hash = str::Crypt("s3cret", format);
        ASSERT_TRUE(str::StartsWith(hash, prefix)) << hash;
        EXPECT_EQ(hash.find('$', 3), salt_end);
        EXPECT_EQ(str::Crypt("s3cret", hash), hash);
        EXPECT_TRUE(str::Crypt("s3creT", hash) != hash && str::Crypt("s3cret", format) != hash)
            << "fresh salt each time";
    }
    const std::string md5 = str::Crypt("p", str::CryptDefault);
    str::SetCryptFormat(str::CryptSHA256);
    EXPECT_EQ(md5.substr(0, 3) + str::Crypt("p", str::CryptDefault).substr(0, 3), "$1$$5$");
    str::SetCryptFormat(static_cast<str::CryptFormat>(3));
    EXPECT_EQ(testutil::AssertAt([] { str::Crypt("p", str::CryptDefault); }), "vuxstr:294: Unsupported crypt format");
    EXPECT_STREQ(testutil::Catch<vux_err::AssertError>([] { str::Crypt("p", str::CryptDefault); }).func(),
                 "std::string str::Crypt(const string&, str::CryptFormat)");
    str::SetCryptFormat(str::CryptMD5);
    EXPECT_THROW(str::Crypt("p", static_cast<str::CryptFormat>(6)), vux_err::AssertError);
}

// The block function as published by Wheeler and Needham (n < 0 decrypts).
void Btea(std::uint32_t* v, int n, const std::uint32_t key[4]) {
    const std::uint32_t DELTA = 0x9e3779b9;
    std::uint32_t y, z, sum;
    unsigned p, rounds, e;
#define MX (((z >> 5 ^ y << 2) + (y >> 3 ^ z << 4)) ^ ((sum ^ y) + (key[(p & 3) ^ e] ^ z)))
    if (n > 1) {
        rounds = 6 + 52 / n;
        sum = 0;
        z = v[n - 1];
        do {
            sum += DELTA;
            e = (sum >> 2) & 3;
            for (p = 0; p < unsigned(n - 1); p++) y = v[p + 1], z = v[p] += MX;
            y = v[0];
            z = v[n - 1] += MX;
        } while (--rounds);
    } else if (n < -1) {
        n = -n;
        rounds = 6 + 52 / n;
        sum = rounds * DELTA;
        y = v[0];
        do {
            e = (sum >> 2) & 3;
            for (p = n - 1; p > 0; p--) z = v[p - 1], y = v[p] -= MX;
            z = v[n - 1];
            y = v[0] -= MX;
            sum -= DELTA;
        } while (--rounds);
    }
#undef MX
}

TEST(StrXxtea, MatchesPublishedCipherAndRefusesBadInput) {
    std::string key = "0123456789abcdefIGNORED";
    const std::uint32_t k[4] = {0x33323130, 0x37363534, 0x62613938, 0x66656463};
    for (std::size_t len : {1u, 3u, 4u, 5u, 8u, 31u, 200u}) {
        const std::string data = testutil::RandomBytes(len, 100 + len);
        const std::size_t n = (len + 3) / 4 + 1;
        std::vector<std::uint32_t> v(n, 0);
        for (std::size_t i = 0; i < len; ++i)
            v[i / 4] |= std::uint32_t(static_cast<unsigned char>(data[i])) << (8 * (i % 4));
        v[n - 1] = static_cast<std::uint32_t>(len);
        Btea(v.data(), static_cast<int>(n), k);
        std::string expected;
        for (std::uint32_t w : v)
            for (int b = 0; b < 4; ++b) expected += static_cast<char>(w >> (8 * b));
        const std::string enc = str::xxtea::Encode(key, data);
        EXPECT_EQ(enc, expected) << len;
        EXPECT_EQ(str::xxtea::Decode(key.substr(0, 16), enc), data);
    }
    EXPECT_EQ(str::xxtea::Encode(key, "") + str::xxtea::Decode(key, ""), "");

    key.assign(16, 'k');
    const std::string enc = str::xxtea::Encode(key, "hello");
    EXPECT_EQ(enc.size(), 12u);
    std::string tampered = enc;
    tampered[0] ^= 1;
    ExpectPairs({
        {ErrorOf([&] { str::xxtea::Decode(std::string(16, 'K'), enc); }), "xxtea/bad_data//report"},
        {ErrorOf([&] { str::xxtea::Encode("short", "x"); }), "xxtea/bad_key//report"},
        {ErrorOf([&] { str::xxtea::Decode("short", enc); }), "xxtea/bad_key//report"},
        {ErrorOf([&] { str::xxtea::Decode(key, enc.substr(1)); }), "xxtea/data_size//report"},
        // One word is shorter than a block: nothing to decrypt, so nothing comes out.
        {str::xxtea::Decode(key, std::string(4, '\0')), ""}, {str::xxtea::Decode(key, "abcd"), ""},
        {ErrorOf([&] { str::xxtea::Decode("short", "abcd"); }), "xxtea/bad_key//report"},
        {ErrorOf([&] { str::xxtea::Decode(key, tampered); }), "xxtea/bad_data//report"},
    });
    // Hostile cipher texts either decode within bounds or fail with the cipher's own error.
    for (unsigned seed = 0; seed < 300; ++seed) {
        const std::string junk = testutil::RandomBytes(8 + 4 * (seed % 9), seed);
        const std::string r = ErrorOf([&] { ASSERT_LE(str::xxtea::Decode(key, junk).size(), junk.size() - 4); });
        EXPECT_TRUE(r == "no error" || r == "xxtea/bad_data//report") << r;
    }
    for (std::size_t len = 1; len < 64; ++len) {
        const std::string data = testutil::RandomBytes(len, 7 * len);
        EXPECT_EQ(str::xxtea::Decode(key, str::xxtea::Encode(key, data)), data);
    }
}

// A parser over "name=value" lines; comments and blank lines are not items.
class KeyParser : public str::SimpleParser {
public:
    explicit KeyParser(std::string& t) : SimpleParser(t) {}
    bool Next() override {
        for (;;) {
            line = GetLine();
            if (Eof()) return false;
            if (!line.empty() && line[0] != '#') return true;
        }
    }
    std::string Current() override { return replacement; }
    std::size_t End() const { return end; }
    std::size_t Mark() const { return mark; }
    std::string line, replacement;
};

TEST(StrSimpleParser, WalksLines) {
    std::string text = "a=1\n# note\n\nb=2\nc=3";
    KeyParser p(text);
    EXPECT_EQ(p.End(), str::SimpleParser::unset);
    std::vector<std::string> items;
    for (bool ok = p.First(); ok; ok = p.Next()) items.push_back(p.line);
    EXPECT_EQ(items, (std::vector<std::string>{"a=1", "b=2", "c=3"}));
    EXPECT_TRUE(p.Eof());
    EXPECT_EQ(p.GetLine(), "");  // stays at the end
    ASSERT_TRUE(p.First());
    EXPECT_EQ(p.length(0), 4u);  // "a=1\n"
    EXPECT_EQ(p.length(2), 2u);
    p.SetBegin();
    EXPECT_EQ(p.Mark(), 0u);
    p.DropBegin();
    EXPECT_EQ(p.Mark(), str::SimpleParser::unset);

    // The owner may shrink the text behind the cursor.
    text = "a=1\nb=2\n";
    KeyParser q(text);
    ASSERT_TRUE(q.First() && q.Next());
    text = "x";
    EXPECT_EQ(q.length(0), 1u);
    q.replacement = "y\n";
    q.Save();
    EXPECT_EQ(text.substr(0, 1), "x");
    q.Delete();
    q.Insert();
    EXPECT_FALSE(q.Next());
}

TEST(StrSimpleParser, EditsInPlace) {
    std::string text = "a=1\n# drop me\nb=2\nc=3\n";
    KeyParser p(text);
    // Each returns what the step leaves: the next item, or the text after an edit.
    auto next = [&] { return p.Next() ? p.line : std::string("(end)"); };
    auto save = [&](const char* r) { return p.replacement = r, p.Save(), text; };
    auto insert = [&](const char* r) { return p.replacement = r, p.Insert(), text; };
    auto del = [&] { return p.Delete(), text; };
    // Delete a marked range: from the comment through "b=2".
    ASSERT_TRUE(p.First());
    p.GetLine();
    p.SetBegin();
    ExpectPairs({{next(), "b=2"}, {del(), "a=1\nc=3\n"}, {next(), "c=3"},
                 // Save replaces the current line; the written text is not read again.
                 {save("c=30\nd=4\n"), "a=1\nc=30\nd=4\n"}, {std::string(1, text[p.End()]), "\n"},
                 {std::to_string(p.End()), std::to_string(text.size() - 1)}, {next(), "(end)"}});
    // Insert before the current line, then go on after that line; the line the cursor was on is
    // still the current one.
    ASSERT_TRUE(p.First());
    ExpectPairs({{insert("z=0\n"), "z=0\na=1\nc=30\nd=4\n"}, {save("A=1\n"), "z=0\nA=1\nc=30\nd=4\n"},
                 {next(), "c=30"}});
    // Insert at the end of the text appends.
    while (p.Next()) {
    }
    ExpectPairs({{insert("e=5\n"), "z=0\nA=1\nc=30\nd=4\ne=5\n"}, {next(), "(end)"}});
    // Deleting the first line leaves the cursor before the text.
    ASSERT_TRUE(p.First());
    EXPECT_EQ(del(), "A=1\nc=30\nd=4\ne=5\n");
    EXPECT_EQ(p.End(), str::SimpleParser::unset);
    EXPECT_EQ(next(), "A=1");
    // Deleting every item in turn.
    while (p.line[0] != 'e') {
        p.Delete();
        ASSERT_TRUE(p.Next());
    }
    ExpectPairs({{del(), ""}, {next(), "(end)"}, {insert("only=1"), "only=1"}, {next(), "(end)"}});
}

}  // namespace
