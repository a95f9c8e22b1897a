// Date-time texts: either the documented parse error or an in-range timestamp that prints and reads back the same.
#include <libvux/vuxdate.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <libvux/vuxerr.h>

namespace {

bool InRange(const vux_date::AccurateDateTime& t) {
    return t.month() >= 1 && t.month() <= 12 && t.day() >= 1 &&
           t.day() <= vux_date::GetDaysFromMonth(t.year() - 1900, t.month() - 1) && t.hour() >= 0 && t.hour() <= 23 &&
           t.minute() >= 0 && t.minute() <= 59 && t.sec() >= 0 && t.sec() <= 60 && t.milisec() >= 0 &&
           t.milisec() <= 999 && t.weekday() >= 0 && t.weekday() <= 6;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A zone with clock changes, so the ambiguous and missing hours are reachable.
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        vux_date::AccurateDateTime t(in);
        if (!InRange(t) || t.year() < 1900) abort();
        vux_date::DateTime plain(in);
        if (!(plain == t)) abort();
        if (t.year() <= 9999) {
            vux_date::AccurateDateTime again(t.AsDateTime());
            if (!(again == t) || again.weekday() != t.weekday()) abort();
        }
        vux_date::AccurateDateTime next(t);
        next.AddDays(1);
        if (!InRange(next) || next.weekday() != (t.weekday() + 1) % 7 || !(t < next)) abort();
        next.AddSeconds(-86400);
        if (!(next == t) && t.sec() != 60) abort();
    } catch (const vux_err::Error& e) {
        if (e.type() != "date" || e.object() != "strptime") abort();
    }
    return 0;
}
