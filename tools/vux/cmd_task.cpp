#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>

#include <libvux/vuxfile.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxtask.h>

#include "commands.h"

namespace vuxtool {

namespace {

void PrintInfo(const std::map<std::string, std::string>& info) {
    for (const auto& [key, value] : info)
        if (key != "result") std::cout << key << "=" << value << "\n";
    auto result = info.find("result");
    if (result != info.end()) std::cout << "[result]\n" << result->second << "\n";
}

// Every description of the queue with its status, a task a line.
int List(const std::string& queue) {
    const std::string dir = vux_file::ConcatPath("var/run", queue);
    if (!vux_file::Exists(dir)) return 0;
    vux_file::Dir entries(dir);
    std::vector<std::string> names;
    while (entries.Read())
        if (entries.name()[0] != '.') names.push_back(entries.name());
    std::sort(names.begin(), names.end());
    for (std::string id : names) {
        const std::string word = str::GetWord(id, '.');
        std::cout << str::Append(word, id, ".") << "\t" << vux_task::GetInfo(word, id, queue)["status"]
                  << (vux_task::IsRuning(word, id, queue) ? "\trunning" : "") << "\n";
    }
    return 0;
}

}  // namespace

// Long tasks of the installation directory we run in (its sbin/lt_wrapper runs them).
int Task(const Cmdline& c) {
    const Args& args = c.args;
    if (args.size() < 2 || HasUnknownOption(c)) throw Usage{};
    const std::string& what = args[0];
    const std::string& queue = args[1];
    if (c.dashdash) {
        // start QUEUE ID -- COMMAND [ARGS]: the command names the task.
        if (what != "start" || c.before_dashdash != 3 || args.size() < 4) throw Usage{};
        vux_task::LongTask task(args[3], args[2], queue);
        task.SetParams(Args(args.begin() + 4, args.end()));
        task.Start(8 | 2);
        std::cout << vux_task::TaskInfoFile(args[3], args[2], queue) << "\n";
        return 0;
    }
    if (what == "list" && args.size() == 2) return List(queue);
    if (what == "info" && args.size() == 4) {
        PrintInfo(vux_task::GetInfo(args[2], args[3], queue));
        return 0;
    }
    if (what == "kill" && (args.size() == 4 || args.size() == 5)) {
        vux_task::Kill(args[2], args[3], queue, args.size() == 5 ? std::atoi(args[4].c_str()) : 10);
        return 0;
    }
    throw Usage{};
}

}  // namespace vuxtool
