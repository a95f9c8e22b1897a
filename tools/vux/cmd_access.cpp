#include <cstdio>
#include <iostream>

#include <libvux/vuxaccess.h>
#include <libvux/vuxaccess_file.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxstr.h>

#include "commands.h"

namespace vuxtool {

namespace {

const char* const kUsage = "access check FILE LEVELS SUBJECT | access mask LEVELS";

std::string Hex(vux_access::AccessMask m) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08X", m);
    return buf;
}

// The text of line `n` (from 1) of the rule file, for showing which rule decided.
std::string Line(const std::string& path, int n) {
    std::string text = vux_file::ReadE(path);
    for (int i = 1; !text.empty(); ++i) {
        std::string line = str::GetWord(text, '\n');
        if (i == n) return str::Trim(line);
    }
    return "";
}

}  // namespace

int Access(const Cmdline& c) {
    const Args& args = c.args;
    if (args.size() == 2 && args[0] == "mask") {
        std::cout << Hex(vux_access::GetAccessByName(args[1])) << "\n";
        return 0;
    }
    if (args.size() != 4 || args[0] != "check") throw Usage{kUsage};
    const std::string& file = args[1];
    const std::string& levels = args[2];
    const std::string& subject = args[3];
    // The rules are read for the scope the levels are written as.
    vux_access_file::Access rules(file, levels);
    const int line = rules.Decide(subject);
    std::cout << (rules.Good(subject) ? "allowed" : "denied") << "\n";
    if (line > 0)
        std::cout << "rule: line " << line << ": " << Line(file, line) << "\n";
    else if (line == 0)
        std::cout << "rule: none matches (" << (vux_file::Exists(file) ? "" : "no rule file, ") << "allowed by default)\n";
    else
        std::cout << "rule: the rule file cannot be read (denied)\n";
    std::cout << "levels: " << levels << " = " << Hex(vux_access::GetAccessByName(levels)) << "\n";
    return 0;
}

}  // namespace vuxtool
