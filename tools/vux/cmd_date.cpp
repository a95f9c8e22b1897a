#include <iostream>
#include <stdexcept>
#include <string>

#include <libvux/vuxdate.h>
#include <libvux/vuxerr.h>

#include "commands.h"

namespace vuxtool {

namespace {

// Epoch seconds, or a local date-time text.
long TimeOf(const std::string& s) {
    bool epoch = !s.empty();
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(s[i] >= '0' && s[i] <= '9') && !(i == 0 && s[i] == '-' && s.size() > 1)) epoch = false;
    if (!epoch) return long(vux_date::AccurateDateTime(s));
    try {
        return std::stol(s);
    } catch (const std::out_of_range&) {
        throw vux_err::Value("time", s);
    }
}

}  // namespace

int Date(const Args& args) {
    if (!args.empty() && args[0] == "period") {
        if (args.size() < 2 || args.size() > 3) throw Usage{};
        vux_date::Date day = args.size() == 3 ? vux_date::Date(args[2]) : vux_date::Date();
        std::pair<vux_date::Date, vux_date::Date> p = vux_date::GetPeriod(args[1], day);
        std::cout << p.first.AsDate() << " " << p.second.AsDate() << "\n";
        return std::cout ? 0 : 1;
    }
    std::string format = "%Y-%m-%d %H:%M:%S %Z";
    long when = long(vux_date::DateTime());
    bool have_format = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--time") {
            if (i + 1 >= args.size()) throw Usage{};
            when = TimeOf(args[++i]);
        } else if (!have_format) {
            format = args[i];
            have_format = true;
        } else {
            throw Usage{};
        }
    }
    std::cout << vux_date::Format(when, format.c_str()) << "\n";
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
