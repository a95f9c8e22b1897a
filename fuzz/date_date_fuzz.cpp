// Day texts and period names: the documented errors only, and periods whose ends are ordered.
#include <libvux/vuxdate.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <libvux/vuxerr.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "Europe/Moscow", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // "day|period name": the name part goes to GetPeriod.
    const std::string all(reinterpret_cast<const char*>(data), size);
    const std::size_t bar = all.find('|');
    const std::string in = all.substr(0, bar);
    const std::string name = bar == std::string::npos ? std::string("currentweek") : all.substr(bar + 1);
    try {
        vux_date::Date d(in);
        if (d.year() <= 9999 && !(vux_date::Date(d.AsDate()) == d)) abort();
        const int steps[] = {1, 7, 31, 366, -1, -29, -400};
        for (int n : steps) {
            vux_date::Date moved = d + n;
            if (moved - d != n || !((moved - n) == d)) abort();
        }
        try {
            std::pair<vux_date::Date, vux_date::Date> p = vux_date::GetPeriod(name, d);
            // "nodate" starts at a fixed day, so it is empty for days before it.
            if (name == "nodate") {
                if (!(p.first == vux_date::Date(std::string("1970-01-02"))) || !(p.second == d)) abort();
            } else if (p.second < p.first || p.second - p.first > 366 || d - p.second > 366) {
                abort();
            }
        } catch (const vux_err::Value& e) {
            if (e.object() != "period" || e.value() != name) abort();
        }
    } catch (const vux_err::Value&) {
        abort();
    } catch (const vux_err::Error& e) {
        if (e.type() != "date" || e.object() != "strptime") abort();
    }
    return 0;
}
