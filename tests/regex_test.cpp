#include <gtest/gtest.h>

#include <libvux/vuxregex.h>

using vux_regex::RegEx;
using vux_regex::RegExGroup;
using vux_regex::RegExMatch;

TEST(Regex, MatchAnywhereAndGroups) {
    RegEx re("([a-z]+)@([a-z]+)\\.(com|org)");
    EXPECT_TRUE(RegExMatch("mail: bob@example.org!", re));
    EXPECT_FALSE(RegExMatch(std::string("bob at example.org"), re));
    std::vector<RegExGroup> g;
    ASSERT_TRUE(RegExMatch(std::string("mail: bob@example.org!"), re, g));
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(g[0].text, "bob@example.org");
    EXPECT_EQ(g[0].start, 6u);
    EXPECT_EQ(g[0].length, 15u);
    EXPECT_EQ(g[1].text, "bob");
    EXPECT_EQ(g[2].text, "example");
    EXPECT_EQ(g[2].start, 10u);
    EXPECT_EQ(g[3].text, "org");

    // An optional group that took no part ends the list, later groups included.
    RegEx optional("(a)(x)?(b)");
    ASSERT_TRUE(RegExMatch("ab", optional, g));
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[1].text, "a");
    EXPECT_FALSE(RegExMatch("zzz", optional, g));
    EXPECT_TRUE(g.empty()) << "cleared on no match";
    // An empty group that did take part is kept.
    ASSERT_TRUE(RegExMatch("ab", RegEx("(a)()(b)"), g));
    EXPECT_EQ(g.size(), 4u);
}

TEST(Regex, SyntaxesAndReassignment) {
    // "(" unbalanced is an error in the extended syntax, a plain byte in the basic one.
    RegEx basic("f(x");
    EXPECT_TRUE(RegExMatch("call f(x)", basic));
    EXPECT_FALSE(RegExMatch("call fx", basic));
    RegEx re;
    EXPECT_FALSE(re.IsCompiled());
    re = "^[0-9]+$";
    EXPECT_TRUE(RegExMatch("2024", re));
    re = "^x+$";
    EXPECT_FALSE(RegExMatch("2024", re)) << "the old pattern is gone";
    EXPECT_TRUE(RegExMatch("xxx", re));
    RegEx icase("^HELLO$", REG_EXTENDED | REG_ICASE);
    EXPECT_TRUE(RegExMatch("hello", icase));
    icase = "^WORLD$";
    EXPECT_TRUE(RegExMatch("world", icase)) << "flags kept across assignments";
    // Host and container lines of /proc/user_beancounters.
    RegEx host("\n *0:");
    EXPECT_TRUE(RegExMatch("Version: 2.5\n        0:  kmemsize", host));
    EXPECT_FALSE(RegExMatch("Version: 2.5\n      100:  kmemsize", host));
}

TEST(Regex, Failures) {
    try {
        RegEx bad("a[b");
        FAIL();
    } catch (const vux_regex::Fail& e) {
        EXPECT_EQ(e.type(), "regex");
        EXPECT_EQ(e.object(), "pattern_compile");
        EXPECT_EQ(e.value(), "a[b");
    }
    RegEx none;
    EXPECT_THROW(RegExMatch("x", none), vux_err::AssertError);
    RegEx kept("^ok$");
    EXPECT_THROW(kept = "[z", vux_regex::Fail);
    EXPECT_FALSE(kept.IsCompiled()) << "a failed assignment leaves nothing half-compiled";
}
