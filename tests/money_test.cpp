// Tests of exact money amounts.
#include <libvux/vuxmoney.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>

#include <libvux/vuxerr.h>

using vux_money::Money;

namespace {

const char kMax[] = "922337203685477.5807";
const char kMin[] = "-922337203685477.5808";

Money Min() { return Money("-922337203685477.5807") - Money("0.0001"); }

TEST(MoneyParse, ReadsSignWholeAndFraction) {
    EXPECT_EQ(Money("12.5").AsString(), "12.50");
    EXPECT_EQ(Money("1.23456").AsString(), "1.2345");
    EXPECT_EQ(Money("-3").AsString(), "-3.00");
    EXPECT_EQ(Money("-0.5").AsString(), "-0.50");
    EXPECT_EQ(Money(".5").AsString(), "0.50");
    EXPECT_EQ(Money("-.0001").AsString(), "-0.0001");
    EXPECT_EQ(Money("0.0001").AsString(), "0.0001");
    EXPECT_EQ(Money("007.10").AsString(), "7.10");
    EXPECT_EQ(Money("+4").AsString(), "4.00");
    EXPECT_EQ(Money("  8.25").AsString(), "8.25");
}

TEST(MoneyParse, MalformedTextReadsAsFarAsItIsDigits) {
    EXPECT_EQ(Money("abc"), Money());
    EXPECT_EQ(Money(""), Money());
    EXPECT_EQ(Money("-"), Money());
    EXPECT_EQ(Money(".").AsString(), "0.00");
    EXPECT_EQ(Money("12abc").AsString(), "12.00");
    EXPECT_EQ(Money("12x.5").AsString(), "12.50");
    // The fraction stops at the first non-digit and is padded after it, not before.
    EXPECT_EQ(Money("1.2x").AsString(), "1.20");
    EXPECT_EQ(Money("1.2.3").AsString(), "1.20");
    // A second sign is not a digit: never a double negation.
    EXPECT_EQ(Money("--5"), Money());
    EXPECT_EQ(Money("-+5"), Money());
}

TEST(MoneyParse, EdgesOfTheRange) {
    EXPECT_EQ(Money(kMax).AsString(), kMax);
    EXPECT_EQ(Money("-922337203685477.5807").AsString(), "-922337203685477.5807");
    EXPECT_EQ(Min().AsString(), kMin);
    // Beyond the range the amount saturates instead of wrapping to the other sign.
    EXPECT_EQ(Money("922337203685477.5808").AsString(), kMax);
    EXPECT_EQ(Money("99999999999999999999999").AsString(), kMax);
    EXPECT_EQ(Money("-99999999999999999999999").AsString(), "-922337203685477.5807");
    EXPECT_EQ(Money(std::string(200, '9') + ".99").AsString(), kMax);
}

TEST(MoneyConstruct, IntegersAndDoubles) {
    EXPECT_EQ(Money(7).AsString(), "7.00");
    EXPECT_EQ(Money(-7).AsString(), "-7.00");
    EXPECT_EQ(Money(std::numeric_limits<int>::min()).AsString(), "-2147483648.00");
    EXPECT_EQ(Money(922337203685477LL).AsString(), "922337203685477.00");
    EXPECT_EQ(Money(std::numeric_limits<long long>::max()).AsString(), kMax);
    EXPECT_EQ(Money(std::numeric_limits<long long>::min()).AsString(), kMin);
    EXPECT_EQ(Money(0.29999999).AsString(), "0.30");
    EXPECT_EQ(Money(-0.29999999).AsString(), "-0.30");
    EXPECT_EQ(Money(0.1).AsString(), "0.10");
    EXPECT_EQ(Money(1.23456).AsString(), "1.2345");
    EXPECT_EQ(Money(1e30).AsString(), kMax);
    EXPECT_EQ(Money(-1e30).AsString(), kMin);
    EXPECT_EQ(Money(std::nan("")), Money());
    EXPECT_EQ(Money(std::numeric_limits<double>::infinity()).AsString(), kMax);
}

TEST(MoneyFormat, TwoOrFourDecimalsAndConversions) {
    EXPECT_EQ(Money(2.5).AsString(), "2.50");
    EXPECT_EQ(Money("2.505").AsString(), "2.5050");
    EXPECT_EQ(Money("-0.0050").AsString(), "-0.0050");
    EXPECT_EQ(Money().AsString(), "0.00");
    std::ostringstream out;
    out << Money("2.505") << "|" << Money(-3);
    EXPECT_EQ(out.str(), "2.5050|-3.00");
    EXPECT_EQ(Money("-2.9").AsInt(), -2);
    EXPECT_EQ(Money("2.9999").AsLong(), 2);
    EXPECT_EQ(Money(kMax).AsLong(), 922337203685477LL);
    EXPECT_EQ(Money(kMax).AsInt(), std::numeric_limits<int>::max());
    EXPECT_EQ(Min().AsInt(), std::numeric_limits<int>::min());
    EXPECT_DOUBLE_EQ(Money("-1.25").AsDouble(), -1.25);
}

TEST(MoneyRound, HalvesRemaindersAndSigns) {
    EXPECT_EQ(Money("10.005").Round().AsString(), "10.01");
    EXPECT_EQ(Money("-10.005").Round().AsString(), "-10.01");
    EXPECT_EQ(Money("10.0049").Round().AsString(), "10.00");
    EXPECT_EQ(Money("-10.0049").Round().AsString(), "-10.00");
    EXPECT_EQ(Money("10.001").HigherRound().AsString(), "10.01");
    EXPECT_EQ(Money("-10.001").HigherRound().AsString(), "-10.01");
    EXPECT_EQ(Money("10.01").HigherRound().AsString(), "10.01");
    EXPECT_EQ(Money("10.001").LowerRound().AsString(), "10.00");
    EXPECT_EQ(Money("-10.0099").LowerRound().AsString(), "-10.00");
    Money m("1.2345");
    (void)m.Round();
    EXPECT_EQ(m.AsString(), "1.2345");
    // At the ends of the range rounding must not wrap around.
    EXPECT_EQ(Money(kMax).Round().AsString(), "922337203685477.58");
    EXPECT_GE(Money(kMax).HigherRound(), Money(kMax));
    EXPECT_LE(Min().HigherRound(), Min());
    EXPECT_EQ(Min().Round().AsString(), "-922337203685477.58");
}

TEST(MoneyArithmetic, ExactResults) {
    EXPECT_EQ((Money(1) / Money(3)).AsString(), "0.3333");
    EXPECT_EQ((Money(-1) / Money(3)).AsString(), "-0.3333");
    EXPECT_EQ((Money(0.1) * 3).AsString(), "0.30");
    EXPECT_EQ((Money("0.1") + Money("0.2")), Money("0.3"));
    EXPECT_EQ((Money("10") * Money("0.3333")).AsString(), "3.3330");
    EXPECT_EQ((Money("-1.5") * Money("1.5")).AsString(), "-2.25");
    EXPECT_EQ((Money("0.0001") * Money("0.5")), Money());
    EXPECT_EQ((Money("100") * 0.29).AsString(), "29.00");
    EXPECT_EQ((Money("-100") * 0.29).AsString(), "-29.00");
    EXPECT_EQ((Money(1) / 0.1).AsString(), "10.00");
    EXPECT_EQ((Money(2) / 3).AsString(), "0.6666");
    EXPECT_EQ((Money(-2) / 3LL).AsString(), "-0.6666");
    EXPECT_EQ((Money(5) * 7LL).AsString(), "35.00");
    Money m(10);
    m -= Money("10.01");
    EXPECT_EQ(m.AsString(), "-0.01");
    m += Money("0.01");
    EXPECT_EQ(m, Money());
}

TEST(MoneyArithmetic, LargeAmountsNeitherWrapNorLoseDigits) {
    // The product of the stored values exceeds 64 bits though the result fits.
    EXPECT_EQ((Money(1000000000LL) * Money(1000)).AsString(), "1000000000000.00");
    EXPECT_EQ((Money(900000000000LL) / Money(2)).AsString(), "450000000000.00");
    EXPECT_EQ((Money(kMax) + Money("0.0001")).AsString(), kMax);
    EXPECT_EQ((Min() - Money("0.0001")).AsString(), kMin);
    EXPECT_EQ((Money(kMax) * 2).AsString(), kMax);
    EXPECT_EQ((Money(kMax) * -2).AsString(), kMin);
    EXPECT_EQ((Money(kMax) * Money(kMax)).AsString(), kMax);
    EXPECT_EQ((Min() / -1LL).AsString(), kMax);
    EXPECT_EQ((Money(kMax) * 1e10).AsString(), kMax);
}

TEST(MoneyArithmetic, DivisionByZeroIsAnAssertion) {
    EXPECT_THROW(Money(1) / Money(), vux_err::AssertError);
    EXPECT_THROW(Money(1) / 0, vux_err::AssertError);
    EXPECT_THROW(Money(1) / 0LL, vux_err::AssertError);
    EXPECT_THROW(Money(1) / 0.0, vux_err::AssertError);
    try {
        Money(1) / Money("0.00001");
        ADD_FAILURE() << "a divisor below the precision is zero";
    } catch (const vux_err::AssertError& e) {
        EXPECT_STREQ(e.file(), "vuxmoney");
        EXPECT_EQ(e.desc(), "division by zero");
    }
}

TEST(MoneyCompare, WithMoneyIntegersAndDoubles) {
    EXPECT_TRUE(Money(1) == 1);
    EXPECT_TRUE(Money("1.0001") != 1);
    EXPECT_TRUE(Money("0.9999") < 1);
    EXPECT_TRUE(Money("-0.0001") < 0);
    EXPECT_TRUE(Money("1.0001") > 1);
    EXPECT_TRUE(Money(1) <= 1 && Money(1) >= 1);
    EXPECT_TRUE(Money("0.5") > 0.4999);
    EXPECT_TRUE(Money("0.5") < 0.5001);
    EXPECT_FALSE(Money("0.5") < 0.5);
    EXPECT_TRUE(Money("-2") < Money("-1.9999"));
    EXPECT_TRUE(Min() < Money(kMax));
    EXPECT_TRUE(Money(kMax) > std::numeric_limits<int>::max());
}

// Random amounts: text round trip and the inverse operations are exact.
TEST(MoneyProperties, RoundTripsAndInverses) {
    std::mt19937_64 gen(7);
    std::uniform_int_distribution<long long> whole(-100000000000LL, 100000000000LL);
    std::uniform_int_distribution<int> frac(0, 9999), small(1, 1000);
    for (int i = 0; i < 20000; ++i) {
        char text[64];
        long long w = whole(gen);
        std::snprintf(text, sizeof(text), "%s%lld.%04d", w < 0 ? "-" : "", w < 0 ? -w : w, frac(gen));
        Money a(text);
        ASSERT_EQ(Money(a.AsString()), a) << text;
        Money b(std::to_string(whole(gen)) + "." + std::to_string(frac(gen)));
        ASSERT_EQ(a + b - b, a) << text;
        int n = small(gen);
        ASSERT_EQ(a * n / n, a) << text;
        Money r = a.Round();
        ASSERT_EQ(r.LowerRound(), r) << text;
        ASSERT_TRUE(a.LowerRound() <= a.Round() || a < 0) << text;
        ASSERT_TRUE(r == a.LowerRound() || r == a.HigherRound()) << text;
    }
}

}  // namespace
