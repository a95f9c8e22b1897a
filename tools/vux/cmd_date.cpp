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

void DateOptions(vux_args::Args& a) {
    a.AddOption("time", 't', "the time shown: seconds since the epoch or 'YYYY-MM-DD hh:mm:ss'").SetParam();
}

int Date(const Cmdline& c) {
    const Args& args = c.args;
    if (!args.empty() && args[0] == "period") {
        if (args.size() < 2 || args.size() > 3) throw Usage{};
        vux_date::Date day = args.size() == 3 ? vux_date::Date(args[2]) : vux_date::Date();
        std::pair<vux_date::Date, vux_date::Date> p = vux_date::GetPeriod(args[1], day);
        std::cout << p.first.AsDate() << " " << p.second.AsDate() << "\n";
        return std::cout ? 0 : 1;
    }
    if (args.size() > 1) throw Usage{};
    const std::string format = args.empty() ? "%Y-%m-%d %H:%M:%S %Z" : args[0];
    const long when = c.options.Has("time") ? TimeOf(c.options["time"]) : long(vux_date::DateTime());
    std::cout << vux_date::Format(when, format.c_str()) << "\n";
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
