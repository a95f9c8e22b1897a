#include <cstdlib>
#include <iostream>

#include <libvux/vuxproc.h>

#include "commands.h"

namespace vuxtool {

namespace {
const char* const kUsage = "exec [--user USER] [--timeout SECONDS] -- COMMAND [ARGS...]";

// Runs the command with its stdout and stderr merged, prints what it wrote and
// its exit status (-1 when a signal ended it); exits 0 only for status 0.
bool Seconds(std::string& value) {
    char* end = nullptr;
    const long t = std::strtol(value.c_str(), &end, 10);
    return !value.empty() && !*end && t >= 1 && t <= 86400 * 365;
}

}  // namespace

void ExecOptions(vux_args::Args& a) {
    a.AddOption("user", 'u', "run as this user").SetParam()
        .AddOption("timeout", 't', "seconds before the command is killed").SetValidator(&Seconds);
}

// The command follows "--", so that its own options are not taken for ours.
int Exec(const Cmdline& c) {
    if (!c.dashdash || c.args.empty()) throw Usage{kUsage};
    const std::string user = c.options["user"];
    const int timeout = c.options.Has("timeout") ? std::atoi(c.options["timeout"].c_str()) : 0;
    vux_proc::Execute child(c.args,
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
