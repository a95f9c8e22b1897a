#include <cstdlib>
#include <iostream>

#include <libvux/vuxproc.h>

#include "commands.h"

namespace vuxtool {

namespace {
const char* const kUsage = "exec [--user USER] [--timeout SECONDS] -- COMMAND [ARGS...]";
}  // namespace

// Runs the command with its stdout and stderr merged, prints what it wrote and
// its exit status (-1 when a signal ended it); exits 0 only for status 0.
int Exec(const Args& args) {
    std::string user;
    int timeout = 0;
    std::size_t i = 0;
    for (; i < args.size() && args[i] != "--"; ++i) {
        if (args[i] == "--user" && i + 1 < args.size()) {
            user = args[++i];
        } else if (args[i] == "--timeout" && i + 1 < args.size()) {
            char* end = nullptr;
            long t = std::strtol(args[++i].c_str(), &end, 10);
            if (args[i].empty() || *end || t < 1 || t > 86400 * 365) throw Usage{kUsage};
            timeout = static_cast<int>(t);
        } else {
            throw Usage{kUsage};
        }
    }
    if (i + 1 >= args.size()) throw Usage{kUsage};
    vux_proc::Execute child(Args(args.begin() + static_cast<long>(i) + 1, args.end()),
                            vux_proc::Execute::PipeOut | vux_proc::Execute::PipeErr | vux_proc::Execute::MergeErr);
    if (!user.empty()) child.SetUser(user);
    if (timeout) child.SetTimeout(timeout);
    std::cout << child.Str();
    const int status = child.Result();
    std::cout << "exit status: " << status << "\n";
    std::cout.flush();
    return status == 0 && std::cout ? 0 : 1;
}

}  // namespace vuxtool
