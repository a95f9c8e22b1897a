// Calendar arithmetic on local broken-down times, day values and named periods.
#include <libvux/vuxdate.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

namespace {

VUX_LOG_MODULE("libvux")

long long FloorDiv(long long a, long long b) {
    long long q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

long long FloorMod(long long a, long long b) { return a - FloorDiv(a, b) * b; }

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12); O(1) so that huge steps cost nothing.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = FloorDiv(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = FloorDiv(z, 146097);
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

int ClampInt(long long v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }

[[noreturn]] void ParseFail(const std::string& value) { throw vux_err::Error("date", "strptime", value); }

// The text up to sep (all of it when sep is absent); found tells whether sep was there.
std::string Cut(std::string& rest, char sep, bool& found) {
    std::size_t p = rest.find(sep);
    found = p != std::string::npos;
    std::string part = rest.substr(0, p);
    rest = found ? rest.substr(p + 1) : std::string();
    return part;
}

// A field of at most max digits; empty reads as 0. The error carries shown.
int Digits(const std::string& part, std::size_t max, const std::string& shown) {
    if (part.size() > max) ParseFail(shown);
    int v = 0;
    for (char c : part) {
        if (c < '0' || c > '9') ParseFail(shown);
        v = v * 10 + (c - '0');
    }
    return v;
}

}  // namespace

namespace vux_date {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int GetDaysFromMonth(int year_since_1900, int month_0_11) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    long long year = 1900LL + year_since_1900 + FloorDiv(month_0_11, 12);
    int month = static_cast<int>(FloorMod(month_0_11, 12));
    if (month == 1) return IsLeapYear(static_cast<int>(FloorMod(year, 400)) + 400) ? 29 : 28;
    return kDays[month];
}

AccurateDateTime::AccurateDateTime(uninitialized) : milisec_(0) { std::memset(&tm_, 0, sizeof(tm_)); }

AccurateDateTime::AccurateDateTime(const std::string& s) : AccurateDateTime() {
    milisec_ = 0;
    std::string rest = s;
    bool more = false;
    std::string year = Cut(rest, '-', more);
    if (year.empty()) ParseFail(s);
    int y = Digits(year, 4, s);
    if (y < 1900) ParseFail(s);
    int month = 1, day = 1, hour = 0, minute = 0, second = 0, ms = 0;
    if (more) {
        month = Digits(Cut(rest, '-', more), 2, s);
        if (month < 1) ParseFail(s);
        if (more) {
            bool sep = false;
            std::string part = Cut(rest, ' ', sep);
            day = Digits(part, 2, part);
            part = Cut(rest, ':', sep);
            hour = Digits(part, 2, part);
            part = Cut(rest, ':', sep);
            minute = Digits(part, 2, part);
            part = Cut(rest, '.', sep);
            second = Digits(part, 2, part);
            // A decimal fraction: ".5" is half a second.
            part = rest;
            ms = Digits(part, 3, part);
            for (std::size_t i = part.size(); i < 3 && !part.empty(); ++i) ms *= 10;
        }
    }
    tm_.tm_year = y - 1900;
    tm_.tm_mon = month - 1;
    tm_.tm_mday = day;
    tm_.tm_hour = hour;
    tm_.tm_min = minute;
    tm_.tm_sec = second;
    milisec_ = ms;
    Normalize();
    Recompute();
}

AccurateDateTime::~AccurateDateTime() {}

std::string AccurateDateTime::AsDate() const { return str::Format("%04d-%02d-%02d", year(), month(), day()); }

std::string AccurateDateTime::AsTime() const {
    return str::Format("%02d:%02d:%02d.%03d", hour(), minute(), sec(), milisec());
}

std::string AccurateDateTime::AsDateTime() const { return AsDate() + " " + AsTime(); }

int AccurateDateTime::Compare(const AccurateDateTime& o) const {
    const int a[] = {tm_.tm_year, tm_.tm_mon, tm_.tm_mday, tm_.tm_hour, tm_.tm_min, tm_.tm_sec, milisec_};
    const int b[] = {o.tm_.tm_year, o.tm_.tm_mon, o.tm_.tm_mday, o.tm_.tm_hour, o.tm_.tm_min, o.tm_.tm_sec,
                     o.milisec_};
    for (int i = 0; i < 7; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

void AccurateDateTime::Recompute() {
    long long z = DaysFromCivil(tm_.tm_year + 1900LL, tm_.tm_mon + 1, 1) + tm_.tm_mday - 1;
    tm_.tm_wday = static_cast<int>(FloorMod(z + 4, 7));
    tm_.tm_yday = static_cast<int>(z - DaysFromCivil(tm_.tm_year + 1900LL, 1, 1));
    // The fields moved: let mktime decide which side of a clock change they are on.
    tm_.tm_isdst = -1;
}

void AccurateDateTime::AddDaysLong(long long n) {
    long long z = DaysFromCivil(tm_.tm_year + 1900LL, tm_.tm_mon + 1, 1) + tm_.tm_mday - 1 + n;
    long long y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(z, y, m, d);
    tm_.tm_year = ClampInt(y - 1900);
    tm_.tm_mon = static_cast<int>(m) - 1;
    tm_.tm_mday = static_cast<int>(d);
    Recompute();
}

void AccurateDateTime::AddSecondsLong(long long n) {
    long long days = n / 86400;
    long long rest = n % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    long long of_day = tm_.tm_hour * 3600LL + tm_.tm_min * 60LL + tm_.tm_sec + rest;
    days += FloorDiv(of_day, 86400);
    of_day = FloorMod(of_day, 86400);
    AddDaysLong(days);
    tm_.tm_hour = static_cast<int>(of_day / 3600);
    tm_.tm_min = static_cast<int>(of_day / 60 % 60);
    tm_.tm_sec = static_cast<int>(of_day % 60);
}

AccurateDateTime& AccurateDateTime::AddDays(int n) {
    AddDaysLong(n);
    return *this;
}

AccurateDateTime& AccurateDateTime::AddSeconds(int n) {
    AddSecondsLong(n);
    return *this;
}

AccurateDateTime& AccurateDateTime::AddMonth(int n) {
    long long m = static_cast<long long>(tm_.tm_mon) + n;
    tm_.tm_year = ClampInt(tm_.tm_year + FloorDiv(m, 12));
    tm_.tm_mon = static_cast<int>(FloorMod(m, 12));
    int len = GetDaysFromMonth(tm_.tm_year, tm_.tm_mon);
    if (tm_.tm_mday > len) tm_.tm_mday = len;
    if (tm_.tm_mday < 1) tm_.tm_mday = 1;
    Recompute();
    return *this;
}

AccurateDateTime& AccurateDateTime::Normalize() {
    if (tm_.tm_mon < 0 || tm_.tm_mon > 11) {
        tm_.tm_year = ClampInt(tm_.tm_year + FloorDiv(tm_.tm_mon, 12));
        tm_.tm_mon = static_cast<int>(FloorMod(tm_.tm_mon, 12));
    }
    if (tm_.tm_mday < 1) tm_.tm_mday = 1;
    int len = GetDaysFromMonth(tm_.tm_year, tm_.tm_mon);
    if (tm_.tm_mday > len) {
        int extra = tm_.tm_mday - len;
        tm_.tm_mday = len;
        AddDaysLong(extra);
    }
    if (tm_.tm_sec < 0 || tm_.tm_sec > 60 || tm_.tm_min < 0 || tm_.tm_min > 59 || tm_.tm_hour < 0 ||
        tm_.tm_hour > 23) {
        long long of_day = tm_.tm_hour * 3600LL + tm_.tm_min * 60LL + tm_.tm_sec;
        tm_.tm_hour = tm_.tm_min = tm_.tm_sec = 0;
        AddSecondsLong(of_day);
    }
    if (milisec_ < 0 || milisec_ > 999) {
        long long ms = milisec_;
        milisec_ = static_cast<int>(FloorMod(ms, 1000));
        AddSecondsLong(FloorDiv(ms, 1000));
    }
    return *this;
}

std::string DateTime::AsTime() const { return str::Format("%02d:%02d:%02d", hour(), minute(), sec()); }

DateTime& DateTime::operator-=(int n) {
    AddSecondsLong(-static_cast<long long>(n));
    return *this;
}

int DateTime::operator-(const DateTime& o) const { return static_cast<int>(long(*this) - long(o)); }

long Diff(const AccurateDateTime& a, const AccurateDateTime& b) {
    return (long(b) - long(a)) * 1000 + (b.milisec() - a.milisec());
}

Date::Date() { Correct(value_); }

Date::Date(long t) : value_(t) { Correct(value_); }

Date::Date(const std::string& s) : value_(s) { Correct(value_); }

Date::Date(const AccurateDateTime& t) : value_(t) { Correct(value_); }

AccurateDateTime& Date::Correct(AccurateDateTime& t) {
    t.tm_.tm_hour = 12;
    t.tm_.tm_min = 0;
    t.tm_.tm_sec = 0;
    t.milisec_ = 0;
    t.tm_.tm_isdst = -1;
    return t;
}

Date& Date::AddDays(int n) {
    value_.AddDays(n);
    Correct(value_);
    return *this;
}

Date& Date::AddMonth(int n) {
    value_.AddMonth(n);
    Correct(value_);
    return *this;
}

Date& Date::operator-=(int n) {
    value_.AddDaysLong(-static_cast<long long>(n));
    Correct(value_);
    return *this;
}

int Date::operator-(const Date& o) const {
    long long diff = static_cast<long long>(long(*this)) - long(o);
    diff += diff >= 0 ? 43200 : -43200;
    return static_cast<int>(diff / 86400);
}

std::pair<Date, Date> GetPeriod(const std::string& name, const Date& date) {
    if (name == "today") return {date, date};
    if (name == "lastday" || name.empty()) return {date - 1, date - 1};
    Date monday = date - (date.weekday() + 6) % 7;
    if (name == "currentweek") return {monday, monday + 6};
    if (name == "lastweek") return {monday - 7, monday - 1};
    Date first = date - (date.day() - 1);
    if (name == "currentmonth") return {first, Date(first).AddMonth(1) - 1};
    if (name == "lastmonth") return {Date(first).AddMonth(-1), first - 1};
    Date january = Date(first).AddMonth(1 - date.month());
    if (name == "currentyear") return {january, Date(january).AddMonth(12) - 1};
    if (name == "lastyear") return {Date(january).AddMonth(-12), january - 1};
    if (name == "week") return {date - 6, date};
    if (name == "month") return {Date(date).AddMonth(-1) + 1, date};
    if (name == "quarter") return {Date(date).AddMonth(-3) + 1, date};
    if (name == "halfyear") return {Date(date).AddMonth(-6) + 1, date};
    if (name == "year") return {Date(date).AddMonth(-12) + 1, date};
    if (name == "nodate") return {Date(std::string("1970-01-02")), date};
    VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "unknown period '%s'", name.c_str());
    throw vux_err::Value("period", name);
}

}  // namespace vux_date
