#include <cstdlib>
#include <iostream>
#include <string>

#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

#include "commands.h"

namespace vuxtool {

namespace {

const char* const kLabels[] = {"WATCH", "NOTE", "FATAL", "ERROR", "WARNING",
                               "INFO", "EXTINFO", "EXT", "TRACE", "DEBUG"};

// A number, or a label in any case.
vux_log::Level LevelOf(const std::string& s) {
    const std::string upper = str::Upper(s);
    for (int i = 0; i < 10; ++i)
        if (upper == kLabels[i]) return i;
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 2) throw Usage{};
    return std::atoi(s.c_str());
}

}  // namespace

void LogOptions(vux_args::Args& a) {
    a.AddOption("init-level", 'i', "the level the program names itself with").SetDefault("ERROR");
}

int Log(const Cmdline& c) {
    const Args& rest = c.args;
    const vux_log::Level init_level = LevelOf(c.options["init-level"]);
    if (rest.size() == 4 && rest[0] == "check") {
        const vux_log::Level level = LevelOf(rest[3]);
        StringList problems;
        vux_log::LoadRules(rest[1], init_level, &problems);
        for (const std::string& p : problems) std::cerr << p << "\n";
        vux_log::Module module(rest[2].c_str());
        const bool yes = module.Check(level);
        const std::string why = module.Explain(level);
        std::cout << (yes ? "written" : "not written") << "\n"
                  << (why.empty() ? std::string("no rule decides") : "decided by " + why) << "\n";
        return std::cout ? 0 : 1;
    }
    if (rest.size() == 5 && rest[0] == "write") {
        const vux_log::Level level = LevelOf(rest[3]);
        vux_log::Init(rest[1], init_level);
        vux_log::Module module(rest[2].c_str());
        const bool yes = module.Check(level);
        if (yes) module.Write(level, "%s", rest[4].c_str());
        vux_log::Close();
        std::cout << (yes ? "written" : "not written") << "\n";
        return std::cout ? 0 : 1;
    }
    throw Usage{};
}

}  // namespace vuxtool
