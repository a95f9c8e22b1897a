// Calendar arithmetic in local time: timestamps, days, named periods and strftime.
#ifndef LIBVUX_VUXDATE_H
#define LIBVUX_VUXDATE_H

#include <libvux/vuxapi.h>

#include <sys/time.h>

#include <ctime>
#include <string>
#include <utility>

VUX_API_BEGIN

namespace vux_date {

// Tag for a timestamp whose value is filled in later.
struct uninitialized {};

// A broken-down local time plus milliseconds.
class AccurateDateTime {
public:
    // Now.
    AccurateDateTime();
    explicit AccurateDateTime(uninitialized);
    explicit AccurateDateTime(const timeval& tv);
    explicit AccurateDateTime(const tm& t);
    explicit AccurateDateTime(long t);
    // "YYYY[-MM[-DD[ hh[:mm[:ss[.mmm]]]]]]"; throws type "date", object "strptime".
    explicit AccurateDateTime(const std::string& s);
    virtual ~AccurateDateTime();

    int year() const { return tm_.tm_year + 1900; }
    int month() const { return tm_.tm_mon + 1; }
    int day() const { return tm_.tm_mday; }
    int weekday() const { return tm_.tm_wday; }
    int hour() const { return tm_.tm_hour; }
    int minute() const { return tm_.tm_min; }
    int sec() const { return tm_.tm_sec; }
    int milisec() const { return milisec_; }

    virtual std::string AsDate() const;
    virtual std::string AsTime() const;
    std::string AsDateTime() const;
    operator std::string() const { return AsDateTime(); }
    // Epoch seconds of the fields.
    operator long() const;
    operator tm() const { return tm_; }

    AccurateDateTime& AddDays(int n);
    AccurateDateTime& AddSeconds(int n);
    AccurateDateTime& AddMonth(int n);
    AccurateDateTime& Normalize();

    bool operator==(const AccurateDateTime& o) const { return Compare(o) == 0; }
    bool operator!=(const AccurateDateTime& o) const { return Compare(o) != 0; }
    bool operator<(const AccurateDateTime& o) const { return Compare(o) < 0; }
    bool operator>(const AccurateDateTime& o) const { return Compare(o) > 0; }
    bool operator<=(const AccurateDateTime& o) const { return Compare(o) <= 0; }
    bool operator>=(const AccurateDateTime& o) const { return Compare(o) >= 0; }

protected:
    int Compare(const AccurateDateTime& o) const;
    void FromEpoch(time_t t);
    void AddDaysLong(long long n);
    void AddSecondsLong(long long n);
    // Weekday and day of year from the date fields; the daylight-saving flag becomes unknown.
    void Recompute();

    tm tm_;
    int milisec_;

    friend class Date;
};

// The same timestamp; its text form has no milliseconds.
class DateTime : public AccurateDateTime {
public:
    DateTime() {}
    explicit DateTime(long t) : AccurateDateTime(t) {}
    explicit DateTime(const std::string& s) : AccurateDateTime(s) {}
    DateTime(const AccurateDateTime& t) : AccurateDateTime(t) {}

    std::string AsTime() const override;

    DateTime& operator+=(int n) {
        AddSeconds(n);
        return *this;
    }
    DateTime& operator-=(int n);
    DateTime operator+(int n) const { return DateTime(*this) += n; }
    DateTime operator-(int n) const { return DateTime(*this) -= n; }
    int operator-(const DateTime& o) const;
};

// A calendar day, held at noon so that day steps never slip at a daylight-saving change.
class Date {
public:
    // Today.
    Date();
    explicit Date(long t);
    explicit Date(const std::string& s);
    Date(const AccurateDateTime& t);
    Date(const Date& o) = default;
    Date& operator=(const Date& o) = default;
    virtual ~Date() {}

    // Moves a timestamp to 12:00:00.000 of its day.
    static AccurateDateTime& Correct(AccurateDateTime& t);

    int year() const { return value_.year(); }
    int month() const { return value_.month(); }
    int day() const { return value_.day(); }
    int weekday() const { return value_.weekday(); }

    Date& AddDays(int n);
    Date& AddMonth(int n);
    Date& operator+=(int n) { return AddDays(n); }
    Date& operator-=(int n);
    Date operator+(int n) const { return Date(*this) += n; }
    Date operator-(int n) const { return Date(*this) -= n; }
    int operator-(const Date& o) const;

    virtual std::string AsDate() const { return value_.AsDate(); }
    operator std::string() const { return AsDate(); }
    operator long() const { return long(value_); }

    bool operator==(const Date& o) const { return value_ == o.value_; }
    bool operator!=(const Date& o) const { return value_ != o.value_; }
    bool operator<(const Date& o) const { return value_ < o.value_; }
    bool operator>(const Date& o) const { return value_ > o.value_; }
    bool operator<=(const Date& o) const { return value_ <= o.value_; }
    bool operator>=(const Date& o) const { return value_ >= o.value_; }
    bool operator==(const AccurateDateTime& t) const { return *this == Date(t); }
    bool operator!=(const AccurateDateTime& t) const { return *this != Date(t); }
    bool operator<(const AccurateDateTime& t) const { return *this < Date(t); }
    bool operator>(const AccurateDateTime& t) const { return *this > Date(t); }
    bool operator<=(const AccurateDateTime& t) const { return *this <= Date(t); }
    bool operator>=(const AccurateDateTime& t) const { return *this >= Date(t); }

private:
    AccurateDateTime value_;
};

inline bool operator<(const AccurateDateTime& t, const Date& d) { return d > t; }
inline bool operator>(const AccurateDateTime& t, const Date& d) { return d < t; }
inline bool operator<=(const AccurateDateTime& t, const Date& d) { return d >= t; }
inline bool operator>=(const AccurateDateTime& t, const Date& d) { return d <= t; }

// Milliseconds from a to b.
long Diff(const AccurateDateTime& a, const AccurateDateTime& b);

bool IsLeapYear(int year);
int GetDaysFromMonth(int year_since_1900, int month_0_11);
// strftime of the local time t.
std::string Format(time_t t, const char* format);
// The named period around date, both ends inclusive; unknown names throw Value "period".
std::pair<Date, Date> GetPeriod(const std::string& name, const Date& date);

}  // namespace vux_date

VUX_API_END

#endif
