// Big integers against values worked out independently (2^521 - 1 is the Mersenne prime M521).
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include <libvux/vuxbignum.h>

#include "test_util.h"

using vux_bignum::Int;

namespace {

const char* const kM521 =
    "6864797660130609714981900799081393217269435300143305409394463459185543183397656052122559640661454554977296311391"
    "480858037121987999716643812574028291115057151";
const char* const kFactorial50 = "30414093201713378043612608166064768844377641568960512000000000000";

}  // namespace

TEST(Bignum, ParsesDecimalText) {
    const std::pair<const char*, const char*> cases[] = {
        {"123abc", "123"}, {"-42", "-42"}, {"abc", "0"}, {"", "0"},   {"-", "0"},       {"--5", "0"},
        {"+5", "0"},       {"007", "7"},   {"-0", "0"},  {"12 34", "12"}, {"99999999999999999999", "99999999999999999999"},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(Int(text).Str(), value) << text;
    EXPECT_EQ(Int(std::string("-17x")).Str(), "-17");
    EXPECT_EQ(Int().Str(), "0");
}

TEST(Bignum, KnownValues) {
    Int m521 = vux_bignum::pow(Int("2"), Int("521")) - Int("1");
    EXPECT_EQ(m521.Str(), kM521);
    Int f = "1";
    for (Int i = "1"; vux_bignum::cmp(i, Int("50")) <= 0; ++i) f *= i;
    EXPECT_EQ(f.Str(), kFactorial50);
    // 50! ends in twelve zeros, after them a 2.
    EXPECT_EQ((f / vux_bignum::pow(Int("10"), Int("12")) % Int("10")).Str(), "2");
    EXPECT_EQ((m521 % Int("1000000007")).Str(), (Int(kM521) % Int("1000000007")).Str());
    EXPECT_EQ((m521 * m521 / m521).Str(), kM521);
    EXPECT_EQ(vux_bignum::pow(Int("-3"), Int("3")).Str(), "-27");
    EXPECT_EQ(vux_bignum::pow(Int("7"), Int("0")).Str(), "1");
}

TEST(Bignum, DivisionTruncatesLikeInt) {
    const int values[][2] = {{7, 2}, {-7, 2}, {7, -2}, {-7, -2}, {6, 3}, {-6, 3}, {0, -5}, {1, 7}, {-1, 7}};
    for (const auto& v : values) {
        Int a(std::to_string(v[0])), b(std::to_string(v[1]));
        EXPECT_EQ((a / b).Str(), std::to_string(v[0] / v[1])) << v[0] << "/" << v[1];
        EXPECT_EQ((a % b).Str(), std::to_string(v[0] % v[1])) << v[0] << "%" << v[1];
    }
    EXPECT_EQ((Int("-100000000000000000000") / Int("3")).Str(), "-33333333333333333333");
    EXPECT_EQ((Int("-100000000000000000000") % Int("3")).Str(), "-1");
    for (const char* zero : {"0", "", "abc"}) {
        auto e = testutil::Catch<std::logic_error>([&] { Int("5") / Int(zero); });
        EXPECT_STREQ(e.what(), "Zero division");
        e = testutil::Catch<std::logic_error>([&] { Int x("5"); x %= Int(zero); });
        EXPECT_STREQ(e.what(), "Zero division");
    }
}

TEST(Bignum, OperatorsAndBytes) {
    Int a("10");
    EXPECT_EQ((a++).Str(), "10");
    EXPECT_EQ(a.Str(), "11");
    EXPECT_EQ((--a).Str(), "10");
    EXPECT_EQ((a--).Str(), "10");
    EXPECT_EQ(a.Str(), "9");
    Int z;
    EXPECT_EQ((--z).Str(), "-1");
    EXPECT_EQ((Int("5") - Int("8")).Str(), "-3");
    EXPECT_EQ((Int("-5") + Int("8")).Str(), "3");
    Int b = a;
    b += Int("1");
    EXPECT_EQ(a.Str(), "9");  // copies do not share
    Int moved = std::move(b);
    EXPECT_EQ(moved.Str(), "10");
    b = moved;
    EXPECT_EQ(b.Str(), "10");
    EXPECT_LT(vux_bignum::cmp(Int("-5"), Int("3")), 0);
    EXPECT_EQ(vux_bignum::cmp(Int("3"), Int("3")), 0);
    EXPECT_GT(vux_bignum::cmp(Int("4"), Int()), 0);

    const unsigned char bytes[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(Int().Set(bytes, 3).Str(), "197121");  // 0x030201
    EXPECT_EQ(Int().Set(bytes, 3, true).Str(), "-197121");
    EXPECT_EQ(Int().SetBe(bytes, 3).Str(), "66051");  // 0x010203
    EXPECT_EQ(Int("-5").SetBe(bytes, 0).Str(), "0");
    testutil::ExpectAssert([] { vux_bignum::pow(Int("2"), Int("-1")); }, "Can not power into negative degree",
                           "vuxbignum_unix");
}
