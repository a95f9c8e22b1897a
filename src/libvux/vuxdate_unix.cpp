// The clock-bound half of the dates: the system time, the local zone and strftime.
#include <libvux/vuxdate.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>

namespace {

VUX_LOG_MODULE("libvux")

}  // namespace

namespace vux_date {

std::string Format(time_t t, const char* format) {
    VUX_ASSERT_AT(format, 22, __PRETTY_FUNCTION__, "format is null");
    tm local;
    if (!localtime_r(&t, &local)) throw vux_err::System("localtime_r", errno);
    // A zero length is either an empty result or an overflow; only a larger buffer tells them apart.
    std::vector<char> buf(1024);
    for (;;) {
        std::size_t n = strftime(buf.data(), buf.size(), format, &local);
        if (n > 0 || !*format || buf.size() >= (1u << 20)) return std::string(buf.data(), n);
        buf.resize(buf.size() * 4);
    }
}

AccurateDateTime::AccurateDateTime() {
    timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) throw vux_err::System("gettimeofday", errno);
    FromEpoch(tv.tv_sec);
    milisec_ = static_cast<int>(tv.tv_usec / 1000);
}

AccurateDateTime::AccurateDateTime(const timeval& tv) {
    FromEpoch(tv.tv_sec);
    milisec_ = static_cast<int>(tv.tv_usec / 1000);
    if (milisec_ < 0 || milisec_ > 999) milisec_ = 0;
}

AccurateDateTime::AccurateDateTime(const tm& t) : milisec_(0) {
    tm copy = t;
    time_t e = mktime(&copy);
    // -1 is both an error and one second before the epoch; only the fields tell which.
    bool epoch_minus_one = copy.tm_year == 69 && copy.tm_mon == 11 && copy.tm_mday == 31 && copy.tm_hour == 23 &&
                           copy.tm_min == 59 && copy.tm_sec == 59;
    if (e != static_cast<time_t>(-1) || epoch_minus_one) {
        FromEpoch(e);
        return;
    }
    // Beyond what the zone database converts: plain calendar arithmetic still works.
    tm_ = t;
    Normalize();
    Recompute();
}

AccurateDateTime::AccurateDateTime(long t) {
    FromEpoch(t);
    milisec_ = 0;
}

void AccurateDateTime::FromEpoch(time_t t) {
    std::memset(&tm_, 0, sizeof(tm_));
    if (!localtime_r(&t, &tm_)) throw vux_err::System("localtime_r", errno);
}

AccurateDateTime::operator long() const {
    tm copy = tm_;
    time_t t = mktime(&copy);
    if (t == static_cast<time_t>(-1)) VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "mktime: %s is out of range",
                                              AsDateTime().c_str());
    return static_cast<long>(t);
}

}  // namespace vux_date
