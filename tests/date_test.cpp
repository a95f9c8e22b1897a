// Tests of dates, timestamps, periods and formatting, in zones that change the clock.
#include <libvux/vuxdate.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include <libvux/vuxerr.h>

#include "test_util.h"

using vux_date::AccurateDateTime;
using vux_date::Date;
using vux_date::DateTime;

using testutil::ErrorOf;

namespace {

// Sets the local zone for a scope.
class Zone {
public:
    explicit Zone(const char* tz) {
        const char* old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

time_t Utc(int y, int mon, int d, int h = 0, int mi = 0, int s = 0) {
    tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return timegm(&t);
}

std::string UtcDay(time_t t) {
    tm g;
    gmtime_r(&t, &g);
    char buf[32];
    strftime(buf, sizeof(buf), "%Y-%m-%d", &g);
    return buf;
}

std::string Period(const std::string& name, const std::string& day) {
    auto p = vux_date::GetPeriod(name, Date(day));
    return p.first.AsDate() + ".." + p.second.AsDate();
}

TEST(DateParse, PartsDefaultAndNormalise) {
    Zone z("Europe/Berlin");
    EXPECT_EQ(AccurateDateTime("2024").AsDateTime(), "2024-01-01 00:00:00.000");
    EXPECT_EQ(AccurateDateTime("2024-02").AsDateTime(), "2024-02-01 00:00:00.000");
    EXPECT_EQ(AccurateDateTime("2024-13").AsDateTime(), "2025-01-01 00:00:00.000");
    EXPECT_EQ(AccurateDateTime("2024-99").AsDate(), "2032-03-01");
    EXPECT_EQ(AccurateDateTime("2024-02-30 10:00").AsDateTime(), "2024-03-01 10:00:00.000");
    EXPECT_EQ(AccurateDateTime("2023-02-29").AsDate(), "2023-03-01");
    EXPECT_EQ(AccurateDateTime("2024-02-00").AsDate(), "2024-02-01");
    EXPECT_EQ(AccurateDateTime("2024-12-31 25:61:61").AsDateTime(), "2025-01-01 02:02:01.000");
    EXPECT_EQ(AccurateDateTime("2024-05-06 07:08:09.123").AsDateTime(), "2024-05-06 07:08:09.123");
    // The milliseconds are a decimal fraction of the second.
    EXPECT_EQ(AccurateDateTime("2024-05-06 07:08:09.5").milisec(), 500);
    EXPECT_EQ(AccurateDateTime("2024-05-06 07:08:09.05").milisec(), 50);
    EXPECT_EQ(DateTime("2024-05-06 07:08:09.999").AsDateTime(), "2024-05-06 07:08:09");
    AccurateDateTime sunday("2024-03-10 12:00");
    EXPECT_EQ(sunday.weekday(), 0);
    EXPECT_EQ(AccurateDateTime("2024-02-30").weekday(), 5);
    EXPECT_EQ(static_cast<tm>(AccurateDateTime("2024-12-31")).tm_yday, 365);
}

TEST(DateParse, MalformedPartsThrow) {
    Zone z("Europe/Berlin");
    auto parse = [](const std::string& s) { return ErrorOf([&] { AccurateDateTime t(s); }); };
    EXPECT_EQ(parse("2024-00"), "date/strptime/2024-00");
    EXPECT_EQ(parse("2024-"), "date/strptime/2024-");
    EXPECT_EQ(parse(""), "date/strptime/");
    EXPECT_EQ(parse("1899"), "date/strptime/1899");
    EXPECT_EQ(parse("20245"), "date/strptime/20245");
    EXPECT_EQ(parse("２０２４"), "date/strptime/２０２４");
    EXPECT_EQ(parse("+202"), "date/strptime/+202");
    EXPECT_EQ(parse("2024-1x"), "date/strptime/2024-1x");
    EXPECT_EQ(parse("2024-123"), "date/strptime/2024-123");
    EXPECT_EQ(parse("2024-02-3x"), "date/strptime/3x");
    EXPECT_EQ(parse("2024-02-03T10"), "date/strptime/03T10");
    EXPECT_EQ(parse("2024-02-03 100"), "date/strptime/100");
    EXPECT_EQ(parse("2024-02-03 10:-1"), "date/strptime/-1");
    EXPECT_EQ(parse("2024-02-03 10:00:0a"), "date/strptime/0a");
    EXPECT_EQ(parse("2024-02-03 10:00:00.1234"), "date/strptime/1234");
    EXPECT_EQ(parse("2024-02-03 10:00:00.1.2"), "date/strptime/1.2");
    EXPECT_EQ(ErrorOf([] { Date d(std::string("x")); }), "date/strptime/x");
}

TEST(DateArithmetic, MonthEndsLeapDaysAndYears) {
    Zone z("Europe/Berlin");
    EXPECT_EQ(AccurateDateTime("2024-02-28").AddDays(1).AsDate(), "2024-02-29");
    EXPECT_EQ(AccurateDateTime("2023-02-28").AddDays(1).AsDate(), "2023-03-01");
    EXPECT_EQ(AccurateDateTime("2024-03-01").AddDays(-1).AsDate(), "2024-02-29");
    EXPECT_EQ(AccurateDateTime("2100-03-01").AddDays(-1).AsDate(), "2100-02-28");
    EXPECT_EQ(AccurateDateTime("2000-03-01").AddDays(-1).AsDate(), "2000-02-29");
    EXPECT_EQ(AccurateDateTime("2024-12-31").AddDays(1).AsDate(), "2025-01-01");
    EXPECT_EQ(AccurateDateTime("2024-01-01").AddDays(-366).AsDate(), "2022-12-31");
    AccurateDateTime wed("2024-02-28");
    EXPECT_EQ(wed.weekday(), 3);
    EXPECT_EQ(wed.AddDays(2).weekday(), 5);
    EXPECT_EQ(wed.AddDays(-13).weekday(), 6);
    EXPECT_EQ(AccurateDateTime("2024-12-31 23:59:59").AddSeconds(1).AsDateTime(), "2025-01-01 00:00:00.000");
    EXPECT_EQ(AccurateDateTime("2024-03-01").AddSeconds(-1).AsDateTime(), "2024-02-29 23:59:59.000");
    EXPECT_EQ(AccurateDateTime("2024-03-01 00:00:00.250").AddSeconds(-86401).AsDateTime(),
              "2024-02-28 23:59:59.250");
    EXPECT_EQ(AccurateDateTime("2024-01-31").AddMonth(1).AsDate(), "2024-02-29");
    EXPECT_EQ(AccurateDateTime("2024-03-31").AddMonth(-1).AsDate(), "2024-02-29");
    EXPECT_EQ(AccurateDateTime("2024-02-29").AddMonth(12).AsDate(), "2025-02-28");
    EXPECT_EQ(AccurateDateTime("2024-02-15").AddMonth(-14).AsDate(), "2022-12-15");
    EXPECT_EQ(AccurateDateTime("2024-05-31").AddMonth(1).weekday(), 0);
    Date d("2024-01-31");
    EXPECT_EQ(d.AddMonth(1).AsDate(), "2024-02-29");
    EXPECT_EQ(d.AddMonth(1).AsDate(), "2024-03-29");
    DateTime t("2024-02-29 23:00:00");
    t += 7200;
    EXPECT_EQ(t.AsDateTime(), "2024-03-01 01:00:00");
    t -= 7200;
    EXPECT_EQ(std::string(t), "2024-02-29 23:00:00");
    EXPECT_EQ((t - INT_MIN).AsDate(), (t + INT_MAX + 1).AsDate());
    // Far steps are one computation, and come back exactly.
    AccurateDateTime far("2024-02-29");
    far.AddDays(INT_MAX).AddDays(-INT_MAX);
    EXPECT_EQ(far.AsDate(), "2024-02-29");
    EXPECT_EQ(AccurateDateTime("2024-02-29").AddMonth(INT_MAX).AddMonth(-INT_MAX).AsDate(), "2024-02-29");
}

TEST(DateArithmetic, TimestampsFromTmAndEpoch) {
    Zone z("Europe/Berlin");
    tm t{};
    t.tm_year = 124;
    t.tm_mon = 0;
    t.tm_mday = 32;
    t.tm_hour = 10;
    t.tm_isdst = -1;
    EXPECT_EQ(AccurateDateTime(t).AsDateTime(), "2024-02-01 10:00:00.000");
    timeval tv{static_cast<time_t>(Utc(2024, 7, 1, 10)), 987654};
    AccurateDateTime a(tv);
    EXPECT_EQ(a.AsDateTime(), "2024-07-01 12:00:00.987");
    EXPECT_EQ(long(a), Utc(2024, 7, 1, 10));
    EXPECT_EQ(DateTime(0L).AsDateTime(), "1970-01-01 01:00:00");
    EXPECT_EQ(long(Date(Utc(2024, 7, 1, 23))), Utc(2024, 7, 2, 10));
}

TEST(DateCompare, FieldsMillisecondsAndDays) {
    Zone z("Europe/Berlin");
    AccurateDateTime a("2024-01-01 10:00:00.900"), b("2024-01-01 10:00:01.100");
    EXPECT_TRUE(a < b && a <= b && b > a && b >= a && a != b);
    EXPECT_FALSE(a == b);
    EXPECT_EQ(vux_date::Diff(a, b), 200);
    EXPECT_EQ(vux_date::Diff(b, a), -200);
    EXPECT_TRUE(AccurateDateTime("2023-12-31 23:59:59.999") < AccurateDateTime("2024"));
    DateTime dt(b);
    const AccurateDateTime& base = dt;
    EXPECT_EQ(std::string(base), "2024-01-01 10:00:01");
    EXPECT_EQ(dt - DateTime(a), 1);
    Date day("2024-03-10");
    EXPECT_TRUE(day == AccurateDateTime("2024-03-10 23:59:59.999"));
    EXPECT_TRUE(AccurateDateTime("2024-03-10 00:00") == day);
    EXPECT_TRUE(day < AccurateDateTime("2024-03-11"));
    EXPECT_TRUE(AccurateDateTime("2024-03-09 23:59:59.999") < day);
    EXPECT_TRUE(AccurateDateTime("2024-03-10 23:59") <= day && AccurateDateTime("2024-03-10 00:00") >= day);
    EXPECT_TRUE(Date("2024-03-09") < day && day != Date("2024-03-11"));
}

TEST(DateClock, NowAndFormat) {
    Zone z("Europe/Berlin");
    AccurateDateTime now;
    time_t t = time(nullptr);
    EXPECT_LE(std::labs(long(now) - t), 2);
    EXPECT_GE(now.milisec(), 0);
    EXPECT_LE(now.milisec(), 999);
    EXPECT_EQ(Date().AsDate(), vux_date::Format(time(nullptr), "%Y-%m-%d"));
    EXPECT_EQ(vux_date::Format(Utc(2024, 7, 1, 10), "%Y-%m-%d %H:%M %Z"), "2024-07-01 12:00 CEST");
    EXPECT_EQ(vux_date::Format(Utc(2024, 1, 1, 10), "%H:%M %Z %z"), "11:00 CET +0100");
    EXPECT_EQ(vux_date::Format(0, ""), "");
    std::string big;
    for (int i = 0; i < 600; ++i) big += "%Y";
    EXPECT_EQ(vux_date::Format(Utc(2024, 7, 1), big.c_str()).size(), 2400u);
    try {
        vux_date::Format(0, nullptr);
        ADD_FAILURE() << "a null format was accepted";
    } catch (const vux_err::AssertError& e) {
        EXPECT_STREQ(e.file(), "vuxdate_unix");
        EXPECT_EQ(e.line(), 22);
        EXPECT_EQ(e.desc(), "format is null");
    }
}

TEST(DateDaylightSaving, BerlinClockChanges) {
    Zone z("Europe/Berlin");
    // Spring: 02:00 CET becomes 03:00 CEST; the day has 23 hours.
    Date sunday("2024-03-31");
    EXPECT_EQ(long(sunday) - long(sunday - 1), 82800);
    EXPECT_EQ(sunday - (sunday - 1), 1);
    EXPECT_EQ((sunday + 1) - sunday, 1);
    EXPECT_EQ((sunday - 1 + 1).AsDate(), "2024-03-31");
    EXPECT_EQ(Date("2024-04-01") - Date("2024-03-01"), 31);
    EXPECT_EQ(DateTime(Utc(2024, 3, 31, 0, 59, 59)).AsDateTime(), "2024-03-31 01:59:59");
    EXPECT_EQ(DateTime(Utc(2024, 3, 31, 1)).AsDateTime(), "2024-03-31 03:00:00");
    EXPECT_EQ(long(DateTime("2024-03-31 03:30:00")), Utc(2024, 3, 31, 1, 30));
    // Second steps are wall-clock arithmetic; the difference counts the real seconds.
    DateTime before("2024-03-31 00:30:00");
    DateTime after = before + 3 * 3600;
    EXPECT_EQ(after.AsDateTime(), "2024-03-31 03:30:00");
    EXPECT_EQ(after - before, 7200);
    EXPECT_EQ(vux_date::Diff(before, after), 7200000);
    // Autumn: 03:00 CEST becomes 02:00 CET; 02:30 happens twice and each keeps its own instant.
    time_t first = Utc(2024, 10, 27, 0, 30);
    DateTime summer(first), winter(first + 3600);
    EXPECT_EQ(summer.AsDateTime(), "2024-10-27 02:30:00");
    EXPECT_EQ(winter.AsDateTime(), "2024-10-27 02:30:00");
    EXPECT_EQ(long(summer), first);
    EXPECT_EQ(long(winter), first + 3600);
    EXPECT_EQ(winter - summer, 3600);
    EXPECT_EQ(static_cast<tm>(summer).tm_gmtoff, 7200);
    EXPECT_EQ(static_cast<tm>(winter).tm_gmtoff, 3600);
    Date autumn("2024-10-27");
    EXPECT_EQ(long(autumn) - long(autumn - 1), 90000);
    EXPECT_EQ(autumn - (autumn - 1), 1);
    EXPECT_EQ(Date(DateTime(first)) - Date(DateTime(first + 3600)), 0);
    EXPECT_EQ(Period("currentweek", "2024-03-31"), "2024-03-25..2024-03-31");
    EXPECT_EQ(Period("lastweek", "2024-11-03"), "2024-10-21..2024-10-27");
    EXPECT_EQ(Period("currentmonth", "2024-10-27"), "2024-10-01..2024-10-31");
}

TEST(DateDaylightSaving, MoscowBefore2011) {
    Zone z("Europe/Moscow");
    EXPECT_EQ(DateTime(Utc(2010, 3, 27, 22, 59, 59)).AsDateTime(), "2010-03-28 01:59:59");
    EXPECT_EQ(DateTime(Utc(2010, 3, 27, 23)).AsDateTime(), "2010-03-28 03:00:00");
    EXPECT_EQ(long(Date("2010-03-28")) - long(Date("2010-03-27")), 82800);
    EXPECT_EQ(Date("2010-03-28") - Date("2010-03-27"), 1);
    EXPECT_EQ(long(Date("2010-10-31")) - long(Date("2010-10-30")), 90000);
    EXPECT_EQ(Date("2010-10-31") - Date("2010-10-30"), 1);
    EXPECT_EQ((Date("2010-10-30") + 1).AsDate(), "2010-10-31");
    EXPECT_EQ(static_cast<tm>(AccurateDateTime(Utc(2010, 7, 1))).tm_gmtoff, 14400);
    EXPECT_EQ(static_cast<tm>(AccurateDateTime(Utc(2010, 1, 1))).tm_gmtoff, 10800);
    DateTime twice(Utc(2010, 10, 30, 22, 30));
    EXPECT_EQ(twice.AsDateTime(), "2010-10-31 02:30:00");
    EXPECT_EQ(DateTime(Utc(2010, 10, 30, 23, 30)).AsDateTime(), "2010-10-31 02:30:00");
    EXPECT_EQ(DateTime(Utc(2010, 10, 30, 23, 30)) - twice, 3600);
    // The last change, in March 2011, was forward only.
    EXPECT_EQ(long(Date("2011-03-27")) - long(Date("2011-03-26")), 82800);
    EXPECT_EQ(long(Date("2011-10-30")) - long(Date("2011-10-29")), 86400);
    EXPECT_EQ(Period("lastmonth", "2010-11-01"), "2010-10-01..2010-10-31");
}

// Day steps agree with a plain UTC day count over decades, in a zone with clock changes.
TEST(DateDaylightSaving, DayStepsMatchACalendarCount) {
    Zone z("Europe/Berlin");
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> start(0, 20000), step(-3000, 3000);
    for (int i = 0; i < 3000; ++i) {
        time_t day = Utc(1975, 1, 1, 12) + static_cast<time_t>(start(gen)) * 86400;
        int n = step(gen);
        Date d(UtcDay(day));
        Date moved = d + n;
        ASSERT_EQ(moved.AsDate(), UtcDay(day + static_cast<time_t>(n) * 86400)) << UtcDay(day) << " + " << n;
        ASSERT_EQ(moved - d, n) << UtcDay(day) << " + " << n;
        ASSERT_EQ(moved.weekday(), (4 + (day / 86400 + n) % 7 + 7) % 7);
    }
}

// In UTC wall-clock and real seconds agree, so second steps must match the epoch.
TEST(DateArithmetic, SecondStepsMatchTheEpochInUtc) {
    Zone z("UTC");
    std::mt19937 gen(5);
    std::uniform_int_distribution<int> start(0, 2000000000), step(INT_MIN, INT_MAX);
    for (int i = 0; i < 3000; ++i) {
        long t = start(gen);
        int n = step(gen);
        DateTime moved = DateTime(t) + n;
        ASSERT_EQ(moved.AsDateTime(), DateTime(t + n).AsDateTime()) << t << " + " << n;
        ASSERT_EQ(long(moved), t + n);
    }
}

TEST(DatePeriod, BoundaryDays) {
    Zone z("Europe/Berlin");
    EXPECT_EQ(Period("currentweek", "2024-03-10"), "2024-03-04..2024-03-10");
    EXPECT_EQ(Period("currentweek", "2024-03-06"), "2024-03-04..2024-03-10");
    EXPECT_EQ(Period("currentweek", "2024-03-04"), "2024-03-04..2024-03-10");
    EXPECT_EQ(Period("lastweek", "2024-03-10"), "2024-02-26..2024-03-03");
    EXPECT_EQ(Period("lastweek", "2024-03-04"), "2024-02-26..2024-03-03");
    EXPECT_EQ(Period("lastmonth", "2024-03-15"), "2024-02-01..2024-02-29");
    EXPECT_EQ(Period("lastmonth", "2024-01-01"), "2023-12-01..2023-12-31");
    EXPECT_EQ(Period("currentmonth", "2023-02-28"), "2023-02-01..2023-02-28");
    EXPECT_EQ(Period("currentmonth", "2024-12-31"), "2024-12-01..2024-12-31");
    EXPECT_EQ(Period("currentyear", "2024-12-31"), "2024-01-01..2024-12-31");
    EXPECT_EQ(Period("lastyear", "2024-01-01"), "2023-01-01..2023-12-31");
    EXPECT_EQ(Period("today", "2024-02-29"), "2024-02-29..2024-02-29");
    EXPECT_EQ(Period("lastday", "2024-03-01"), "2024-02-29..2024-02-29");
    EXPECT_EQ(Period("", "2024-01-01"), "2023-12-31..2023-12-31");
    EXPECT_EQ(Period("week", "2024-03-03"), "2024-02-26..2024-03-03");
    EXPECT_EQ(Period("month", "2024-03-31"), "2024-03-01..2024-03-31");
    EXPECT_EQ(Period("month", "2024-03-15"), "2024-02-16..2024-03-15");
    EXPECT_EQ(Period("quarter", "2024-05-31"), "2024-03-01..2024-05-31");
    EXPECT_EQ(Period("halfyear", "2024-08-31"), "2024-03-01..2024-08-31");
    EXPECT_EQ(Period("year", "2024-02-29"), "2023-03-01..2024-02-29");
    EXPECT_EQ(Period("nodate", "2024-02-29"), "1970-01-02..2024-02-29");
    EXPECT_EQ(ErrorOf([] { vux_date::GetPeriod("bogus", Date("2024-01-01")); }), "value/period/bogus");
    EXPECT_EQ(ErrorOf([] { vux_date::GetPeriod("Today", Date("2024-01-01")); }), "value/period/Today");
    EXPECT_THROW(vux_date::GetPeriod("bogus", Date()), vux_err::Value);
}

TEST(DateCalendar, LeapYearsAndMonthLengths) {
    EXPECT_TRUE(vux_date::IsLeapYear(2024));
    EXPECT_TRUE(vux_date::IsLeapYear(2000));
    EXPECT_FALSE(vux_date::IsLeapYear(1900));
    EXPECT_FALSE(vux_date::IsLeapYear(2023));
    EXPECT_FALSE(vux_date::IsLeapYear(2100));
    EXPECT_EQ(vux_date::GetDaysFromMonth(124, 1), 29);
    EXPECT_EQ(vux_date::GetDaysFromMonth(123, 1), 28);
    EXPECT_EQ(vux_date::GetDaysFromMonth(100, 1), 29);
    EXPECT_EQ(vux_date::GetDaysFromMonth(0, 1), 28);
    EXPECT_EQ(vux_date::GetDaysFromMonth(124, 3), 30);
    EXPECT_EQ(vux_date::GetDaysFromMonth(124, 6), 31);
    EXPECT_EQ(vux_date::GetDaysFromMonth(124, 7), 31);
    EXPECT_EQ(vux_date::GetDaysFromMonth(124, 10), 30);
    EXPECT_EQ(vux_date::GetDaysFromMonth(124, 11), 31);
    EXPECT_EQ(vux_date::GetDaysFromMonth(123, 13), 29);
}

}  // namespace
