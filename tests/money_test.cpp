// Tests of exact money amounts.
#include <libvux/vuxmoney.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <sstream>

#include <libvux/vuxerr.h>

#include "test_util.h"

using vux_money::Money;

namespace {

const char kMax[] = "922337203685477.5807";
const char kMin[] = "-922337203685477.5808";
const char kNegMax[] = "-922337203685477.5807";

Money Min() { return Money(kNegMax) - Money("0.0001"); }

// Each amount printed; the index says which entry failed.
void ExpectAmounts(std::initializer_list<std::pair<Money, const char*>> cases) {
    int i = 0;
    for (const auto& [m, text] : cases) EXPECT_EQ(m.AsString(), text) << "entry " << i++;
}

TEST(MoneyParse, ReadsAsFarAsItIsDigits) {
    const char* const cases[][2] = {
        {"12.5", "12.50"}, {"1.23456", "1.2345"}, {"-3", "-3.00"}, {"-0.5", "-0.50"}, {".5", "0.50"},
        {"-.0001", "-0.0001"}, {"0.0001", "0.0001"}, {"007.10", "7.10"}, {"+4", "4.00"}, {"  8.25", "8.25"},
        {"abc", "0.00"}, {"", "0.00"}, {"-", "0.00"}, {".", "0.00"}, {"12abc", "12.00"}, {"12x.5", "12.50"},
        // The fraction stops at the first non-digit and is padded after it, not before.
        {"1.2x", "1.20"}, {"1.2.3", "1.20"},
        // A second sign is not a digit: never a double negation.
        {"--5", "0.00"}, {"-+5", "0.00"},
        {kMax, kMax}, {kNegMax, kNegMax},
        // Beyond the range the amount saturates instead of wrapping to the other sign.
        {"922337203685477.5808", kMax}, {"99999999999999999999999", kMax}, {"-99999999999999999999999", kNegMax},
    };
    for (const auto& c : cases) EXPECT_EQ(Money(c[0]).AsString(), c[1]) << c[0];
    EXPECT_EQ(Money(std::string(200, '9') + ".99").AsString(), kMax);
    EXPECT_EQ(Min().AsString(), kMin);
}

TEST(MoneyConstruct, IntegersAndDoubles) {
    ExpectAmounts({
        {Money(7), "7.00"}, {Money(-7), "-7.00"}, {Money(std::numeric_limits<int>::min()), "-2147483648.00"},
        {Money(922337203685477LL), "922337203685477.00"}, {Money(std::numeric_limits<long long>::max()), kMax},
        {Money(std::numeric_limits<long long>::min()), kMin}, {Money(0.29999999), "0.30"},
        {Money(-0.29999999), "-0.30"}, {Money(0.1), "0.10"}, {Money(1.23456), "1.2345"}, {Money(1e30), kMax},
        {Money(-1e30), kMin}, {Money(std::nan("")), "0.00"}, {Money(std::numeric_limits<double>::infinity()), kMax},
    });
}

TEST(MoneyFormat, TwoOrFourDecimalsAndConversions) {
    ExpectAmounts({{Money(2.5), "2.50"}, {Money("2.505"), "2.5050"}, {Money("-0.0050"), "-0.0050"}, {Money(), "0.00"}});
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
    Money m("1.2345");
    (void)m.Round();
    ExpectAmounts({
        {Money("10.005").Round(), "10.01"}, {Money("-10.005").Round(), "-10.01"},
        {Money("10.0049").Round(), "10.00"}, {Money("-10.0049").Round(), "-10.00"},
        {Money("10.001").HigherRound(), "10.01"}, {Money("-10.001").HigherRound(), "-10.01"},
        {Money("10.01").HigherRound(), "10.01"}, {Money("10.001").LowerRound(), "10.00"},
        {Money("-10.0099").LowerRound(), "-10.00"}, {m, "1.2345"},
        // At the ends of the range rounding must not wrap around.
        {Money(kMax).Round(), "922337203685477.58"}, {Min().Round(), "-922337203685477.58"},
    });
    EXPECT_GE(Money(kMax).HigherRound(), Money(kMax));
    EXPECT_LE(Min().HigherRound(), Min());
}

TEST(MoneyArithmetic, ExactResultsWithoutWrapping) {
    Money m(10);
    m -= Money("10.01");
    const Money down = m;
    m += Money("0.01");
    ExpectAmounts({
        {Money(1) / Money(3), "0.3333"}, {Money(-1) / Money(3), "-0.3333"}, {Money(0.1) * 3, "0.30"},
        {Money("0.1") + Money("0.2"), "0.30"}, {Money("10") * Money("0.3333"), "3.3330"},
        {Money("-1.5") * Money("1.5"), "-2.25"}, {Money("0.0001") * Money("0.5"), "0.00"},
        {Money("100") * 0.29, "29.00"}, {Money("-100") * 0.29, "-29.00"}, {Money(1) / 0.1, "10.00"},
        {Money(2) / 3, "0.6666"}, {Money(-2) / 3LL, "-0.6666"}, {Money(5) * 7LL, "35.00"}, {down, "-0.01"},
        {m, "0.00"},
        // The product of the stored values exceeds 64 bits though the result fits.
        {Money(1000000000LL) * Money(1000), "1000000000000.00"}, {Money(900000000000LL) / Money(2), "450000000000.00"},
        {Money(kMax) + Money("0.0001"), kMax}, {Min() - Money("0.0001"), kMin}, {Money(kMax) * 2, kMax},
        {Money(kMax) * -2, kMin}, {Money(kMax) * Money(kMax), kMax}, {Min() / -1LL, kMax}, {Money(kMax) * 1e10, kMax},
    });
}

TEST(MoneyArithmetic, DivisionByZeroIsAnAssertion) {
    // A divisor below the precision is zero too.
    const std::function<void()> divisions[] = {[] { Money(1) / Money(); }, [] { Money(1) / 0; },
                                               [] { Money(1) / 0LL; }, [] { Money(1) / 0.0; },
                                               [] { Money(1) / Money("0.00001"); }};
    for (const auto& f : divisions) testutil::ExpectAssert(f, "division by zero", "vuxmoney");
}

TEST(MoneyCompare, WithMoneyIntegersAndDoubles) {
    const bool holds[] = {Money(1) == 1,          Money("1.0001") != 1,  Money("0.9999") < 1,
                          Money("-0.0001") < 0,   Money("1.0001") > 1,   Money(1) <= 1 && Money(1) >= 1,
                          Money("0.5") > 0.4999,  Money("0.5") < 0.5001, !(Money("0.5") < 0.5),
                          Money("-2") < Money("-1.9999"), Min() < Money(kMax),
                          Money(kMax) > std::numeric_limits<int>::max()};
    for (std::size_t i = 0; i < std::size(holds); ++i) EXPECT_TRUE(holds[i]) << "comparison " << i;
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
