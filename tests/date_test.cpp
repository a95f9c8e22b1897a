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
    explicit Zone(const char* tz) : had_(getenv("TZ") != nullptr), old_(had_ ? getenv("TZ") : "") { Set(tz); }
    ~Zone() { Set(had_ ? old_.c_str() : nullptr); }

private:
    static void Set(const char* tz) {
        tz ? setenv("TZ", tz, 1) : unsetenv("TZ");
        tzset();
    }
    bool had_;
    std::string old_;
};

time_t Utc(int y, int mon, int d, int h = 0, int mi = 0, int s = 0) {
    tm t{s, mi, h, d, mon - 1, y - 1900, 0, 0, 0, 0, nullptr};
    return timegm(&t);
}

std::string UtcDay(time_t t) {
    char buf[32];
    tm g;
    strftime(buf, sizeof(buf), "%Y-%m-%d", gmtime_r(&t, &g));
    return buf;
}

// The date-time and the weekday, which every step must carry along.
std::string WithWeekday(const AccurateDateTime& t) { return t.AsDateTime() + " " + std::to_string(t.weekday()); }

std::string Period(const std::string& name, const std::string& day) {
    auto p = vux_date::GetPeriod(name, Date(day));
    return p.first.AsDate() + ".." + p.second.AsDate();
}

// Seconds from the noon before `day` to its noon.
long DayLength(const std::string& day) { return long(Date(day)) - long(Date(day) - 1); }

TEST(DateParse, PartsDefaultNormaliseAndFail) {
    Zone z("Europe/Berlin");
    const char* const cases[][2] = {
        {"2024", "2024-01-01 00:00:00.000 1"},          {"2024-02", "2024-02-01 00:00:00.000 4"},
        {"2024-13", "2025-01-01 00:00:00.000 3"},       {"2024-99", "2032-03-01 00:00:00.000 1"},
        {"2024-02-30 10:00", "2024-03-01 10:00:00.000 5"}, {"2023-02-29", "2023-03-01 00:00:00.000 3"},
        {"2024-02-00", "2024-02-01 00:00:00.000 4"},    {"2024-12-31 25:61:61", "2025-01-01 02:02:01.000 3"},
        {"2024-03-10 12:00", "2024-03-10 12:00:00.000 0"}, {"2024-05-06 07:08:09.123", "2024-05-06 07:08:09.123 1"},
        // The milliseconds are a decimal fraction of the second.
        {"2024-05-06 07:08:09.5", "2024-05-06 07:08:09.500 1"}, {"2024-05-06 07:08:09.05", "2024-05-06 07:08:09.050 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(WithWeekday(AccurateDateTime(c[0])), c[1]) << c[0];
    EXPECT_EQ(DateTime("2024-05-06 07:08:09.999").AsDateTime(), "2024-05-06 07:08:09");
    EXPECT_EQ(static_cast<tm>(AccurateDateTime("2024-12-31")).tm_yday, 365);

    // The value is the offending part, or the whole input for a bad year or month.
    const char* const bad[][2] = {
        {"2024-00", "2024-00"}, {"2024-", "2024-"}, {"", ""}, {"1899", "1899"}, {"20245", "20245"},
        {"２０２４", "２０２４"}, {"+202", "+202"}, {"2024-1x", "2024-1x"}, {"2024-123", "2024-123"},
        {"2024-02-3x", "3x"}, {"2024-02-03T10", "03T10"}, {"2024-02-03 100", "100"}, {"2024-02-03 10:-1", "-1"},
        {"2024-02-03 10:00:0a", "0a"}, {"2024-02-03 10:00:00.1234", "1234"}, {"2024-02-03 10:00:00.1.2", "1.2"},
    };
    for (const auto& b : bad)
        EXPECT_EQ(ErrorOf([&] { AccurateDateTime t(b[0]); }), std::string("date/strptime/") + b[1]) << b[0];
    EXPECT_EQ(ErrorOf([] { Date d(std::string("x")); }), "date/strptime/x");
}

TEST(DateArithmetic, MonthEndsLeapDaysAndYears) {
    Zone z("Europe/Berlin");
    // op: 'd' AddDays, 's' AddSeconds, 'm' AddMonth.
    const struct { const char* from; char op; int n; const char* to; } steps[] = {
        {"2024-02-28", 'd', 1, "2024-02-29 00:00:00.000 4"},    {"2023-02-28", 'd', 1, "2023-03-01 00:00:00.000 3"},
        {"2024-03-01", 'd', -1, "2024-02-29 00:00:00.000 4"},   {"2100-03-01", 'd', -1, "2100-02-28 00:00:00.000 0"},
        {"2000-03-01", 'd', -1, "2000-02-29 00:00:00.000 2"},   {"2024-12-31", 'd', 1, "2025-01-01 00:00:00.000 3"},
        {"2024-01-01", 'd', -366, "2022-12-31 00:00:00.000 6"}, {"2024-02-28", 'd', 2, "2024-03-01 00:00:00.000 5"},
        {"2024-03-01", 'd', -13, "2024-02-17 00:00:00.000 6"},  {"2024-03-01", 's', -1, "2024-02-29 23:59:59.000 4"},
        {"2024-12-31 23:59:59", 's', 1, "2025-01-01 00:00:00.000 3"},
        {"2024-03-01 00:00:00.250", 's', -86401, "2024-02-28 23:59:59.250 3"},
        {"2024-01-31", 'm', 1, "2024-02-29 00:00:00.000 4"},    {"2024-03-31", 'm', -1, "2024-02-29 00:00:00.000 4"},
        {"2024-02-29", 'm', 12, "2025-02-28 00:00:00.000 5"},   {"2024-02-15", 'm', -14, "2022-12-15 00:00:00.000 4"},
        {"2024-05-31", 'm', 1, "2024-06-30 00:00:00.000 0"},
    };
    for (const auto& s : steps) {
        AccurateDateTime t(s.from);
        s.op == 'd' ? t.AddDays(s.n) : s.op == 's' ? t.AddSeconds(s.n) : t.AddMonth(s.n);
        EXPECT_EQ(WithWeekday(t), s.to) << s.from << " " << s.op << s.n;
    }
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
    EXPECT_EQ(AccurateDateTime("2024-02-29").AddDays(INT_MAX).AddDays(-INT_MAX).AsDate(), "2024-02-29");
    EXPECT_EQ(AccurateDateTime("2024-02-29").AddMonth(INT_MAX).AddMonth(-INT_MAX).AsDate(), "2024-02-29");

    tm parts{0, 0, 10, 32, 0, 124, 0, 0, -1, 0, nullptr};  // 32 January
    EXPECT_EQ(AccurateDateTime(parts).AsDateTime(), "2024-02-01 10:00:00.000");
    AccurateDateTime a(timeval{static_cast<time_t>(Utc(2024, 7, 1, 10)), 987654});
    EXPECT_EQ(a.AsDateTime(), "2024-07-01 12:00:00.987");
    EXPECT_EQ(long(a), Utc(2024, 7, 1, 10));
    EXPECT_EQ(DateTime(0L).AsDateTime(), "1970-01-01 01:00:00");
    EXPECT_EQ(long(Date(Utc(2024, 7, 1, 23))), Utc(2024, 7, 2, 10));
}

TEST(DateCompare, FieldsMillisecondsAndDays) {
    Zone z("Europe/Berlin");
    AccurateDateTime a("2024-01-01 10:00:00.900"), b("2024-01-01 10:00:01.100");
    EXPECT_TRUE(a < b && a <= b && b > a && b >= a && a != b && !(a == b));
    EXPECT_EQ(vux_date::Diff(a, b), 200);
    EXPECT_EQ(vux_date::Diff(b, a), -200);
    EXPECT_TRUE(AccurateDateTime("2023-12-31 23:59:59.999") < AccurateDateTime("2024"));
    DateTime dt(b);
    const AccurateDateTime& base = dt;
    EXPECT_EQ(std::string(base), "2024-01-01 10:00:01");
    EXPECT_EQ(dt - DateTime(a), 1);
    Date day("2024-03-10");
    EXPECT_TRUE(day == AccurateDateTime("2024-03-10 23:59:59.999") && AccurateDateTime("2024-03-10 00:00") == day);
    EXPECT_TRUE(day < AccurateDateTime("2024-03-11") && AccurateDateTime("2024-03-09 23:59:59.999") < day);
    EXPECT_TRUE(AccurateDateTime("2024-03-10 23:59") <= day && AccurateDateTime("2024-03-10 00:00") >= day);
    EXPECT_TRUE(Date("2024-03-09") < day && day != Date("2024-03-11"));
}

TEST(DateClock, NowAndFormat) {
    Zone z("Europe/Berlin");
    AccurateDateTime now;
    EXPECT_LE(std::labs(long(now) - time(nullptr)), 2);
    EXPECT_TRUE(now.milisec() >= 0 && now.milisec() <= 999) << now.milisec();
    EXPECT_EQ(Date().AsDate(), vux_date::Format(time(nullptr), "%Y-%m-%d"));
    EXPECT_EQ(vux_date::Format(Utc(2024, 7, 1, 10), "%Y-%m-%d %H:%M %Z"), "2024-07-01 12:00 CEST");
    EXPECT_EQ(vux_date::Format(Utc(2024, 1, 1, 10), "%H:%M %Z %z"), "11:00 CET +0100");
    EXPECT_EQ(vux_date::Format(0, ""), "");
    std::string big;
    for (int i = 0; i < 600; ++i) big += "%Y";
    EXPECT_EQ(vux_date::Format(Utc(2024, 7, 1), big.c_str()).size(), 2400u);
    EXPECT_EQ(testutil::AssertAt([] { vux_date::Format(0, nullptr); }), "vuxdate_unix:22: format is null");
}

TEST(DateDaylightSaving, ClockChangesInTwoZones) {
    // Berlin in 2024; Moscow in 2010, and in 2011 when its last change was forward only.
    const struct { const char* zone; time_t utc; const char* local; long gmtoff; } instants[] = {
        {"Europe/Berlin", Utc(2024, 3, 31, 0, 59, 59), "2024-03-31 01:59:59", 3600},
        {"Europe/Berlin", Utc(2024, 3, 31, 1), "2024-03-31 03:00:00", 7200},
        // 02:30 happens twice in autumn and each keeps its own instant.
        {"Europe/Berlin", Utc(2024, 10, 27, 0, 30), "2024-10-27 02:30:00", 7200},
        {"Europe/Berlin", Utc(2024, 10, 27, 1, 30), "2024-10-27 02:30:00", 3600},
        {"Europe/Moscow", Utc(2010, 3, 27, 22, 59, 59), "2010-03-28 01:59:59", 10800},
        {"Europe/Moscow", Utc(2010, 3, 27, 23), "2010-03-28 03:00:00", 14400},
        {"Europe/Moscow", Utc(2010, 10, 30, 22, 30), "2010-10-31 02:30:00", 14400},
        {"Europe/Moscow", Utc(2010, 10, 30, 23, 30), "2010-10-31 02:30:00", 10800},
    };
    for (const auto& i : instants) {
        Zone z(i.zone);
        const DateTime t(i.utc);
        EXPECT_EQ(t.AsDateTime() + " " + std::to_string(static_cast<tm>(t).tm_gmtoff),
                  i.local + (" " + std::to_string(i.gmtoff)));
        EXPECT_EQ(long(t), i.utc) << i.local;
        EXPECT_EQ(t - DateTime(i.utc - 3600), 3600) << i.local;
    }
    // Days of 23, 25 and 24 hours are each one day.
    const struct { const char* zone; const char* day; long seconds; } days[] = {
        {"Europe/Berlin", "2024-03-31", 82800}, {"Europe/Berlin", "2024-10-27", 90000},
        {"Europe/Moscow", "2010-03-28", 82800}, {"Europe/Moscow", "2010-10-31", 90000},
        {"Europe/Moscow", "2011-03-27", 82800}, {"Europe/Moscow", "2011-10-30", 86400},
    };
    for (const auto& d : days) {
        Zone z(d.zone);
        EXPECT_EQ(DayLength(d.day), d.seconds) << d.day;
        EXPECT_EQ(Date(d.day) - (Date(d.day) - 1), 1) << d.day;
        EXPECT_EQ((Date(d.day) - 1 + 1).AsDate(), d.day);
    }

    Zone z("Europe/Berlin");
    EXPECT_EQ(long(DateTime("2024-03-31 03:30:00")), Utc(2024, 3, 31, 1, 30));
    // Second steps are wall-clock arithmetic; the difference counts the real seconds.
    DateTime before("2024-03-31 00:30:00");
    DateTime after = before + 3 * 3600;
    EXPECT_EQ(after.AsDateTime(), "2024-03-31 03:30:00");
    EXPECT_EQ(after - before, 7200);
    EXPECT_EQ(vux_date::Diff(before, after), 7200000);
    const time_t first = Utc(2024, 10, 27, 0, 30);
    EXPECT_EQ(Date(DateTime(first)) - Date(DateTime(first + 3600)), 0);
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
    const char* const cases[][3] = {
        {"currentweek", "2024-03-10", "2024-03-04..2024-03-10"},
        {"currentweek", "2024-03-06", "2024-03-04..2024-03-10"},
        {"currentweek", "2024-03-04", "2024-03-04..2024-03-10"}, {"lastweek", "2024-03-10", "2024-02-26..2024-03-03"},
        {"lastweek", "2024-03-04", "2024-02-26..2024-03-03"}, {"lastmonth", "2024-03-15", "2024-02-01..2024-02-29"},
        {"lastmonth", "2024-01-01", "2023-12-01..2023-12-31"}, {"currentmonth", "2023-02-28", "2023-02-01..2023-02-28"},
        {"currentmonth", "2024-12-31", "2024-12-01..2024-12-31"},
        {"currentyear", "2024-12-31", "2024-01-01..2024-12-31"},
        {"lastyear", "2024-01-01", "2023-01-01..2023-12-31"}, {"today", "2024-02-29", "2024-02-29..2024-02-29"},
        {"lastday", "2024-03-01", "2024-02-29..2024-02-29"}, {"", "2024-01-01", "2023-12-31..2023-12-31"},
        {"week", "2024-03-03", "2024-02-26..2024-03-03"}, {"month", "2024-03-31", "2024-03-01..2024-03-31"},
        {"month", "2024-03-15", "2024-02-16..2024-03-15"}, {"quarter", "2024-05-31", "2024-03-01..2024-05-31"},
        {"halfyear", "2024-08-31", "2024-03-01..2024-08-31"}, {"year", "2024-02-29", "2023-03-01..2024-02-29"},
        {"nodate", "2024-02-29", "1970-01-02..2024-02-29"},
        // Weeks and months that hold a clock change.
        {"currentweek", "2024-03-31", "2024-03-25..2024-03-31"}, {"lastweek", "2024-11-03", "2024-10-21..2024-10-27"},
        {"currentmonth", "2024-10-27", "2024-10-01..2024-10-31"}, {"lastmonth", "2010-11-01", "2010-10-01..2010-10-31"},
    };
    for (const auto& c : cases) EXPECT_EQ(Period(c[0], c[1]), c[2]) << c[0] << " " << c[1];
    EXPECT_EQ(ErrorOf([] { vux_date::GetPeriod("bogus", Date("2024-01-01")); }), "value/period/bogus");
    EXPECT_EQ(ErrorOf([] { vux_date::GetPeriod("Today", Date("2024-01-01")); }), "value/period/Today");
    EXPECT_THROW(vux_date::GetPeriod("bogus", Date()), vux_err::Value);
}

TEST(DateCalendar, LeapYearsAndMonthLengths) {
    for (int y : {2024, 2000}) EXPECT_TRUE(vux_date::IsLeapYear(y)) << y;
    for (int y : {1900, 2023, 2100}) EXPECT_FALSE(vux_date::IsLeapYear(y)) << y;
    // {years since 1900, month 0-11, days}
    const int months[][3] = {{124, 1, 29}, {123, 1, 28}, {100, 1, 29}, {0, 1, 28},   {124, 3, 30},
                             {124, 6, 31}, {124, 7, 31}, {124, 10, 30}, {124, 11, 31}, {123, 13, 29}};
    for (const auto& m : months) EXPECT_EQ(vux_date::GetDaysFromMonth(m[0], m[1]), m[2]) << m[0] << "/" << m[1];
}

}  // namespace
