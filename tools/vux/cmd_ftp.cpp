#include <algorithm>
#include <cstdlib>
#include <iostream>

#include <libvux/vuxfile.h>
#include <libvux/vuxrpc.h>

#include "commands.h"

namespace vuxtool {

namespace {

struct Options {
    std::string user, password;
    std::size_t timeout = 30;
    bool active = false;
    Args words;
};

// The password is the first line of a file, kept out of the process list and the history.
Options Parse(const Args& args) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool has_value = i + 1 < args.size();
        if (args[i] == "--user" && has_value) {
            o.user = args[++i];
        } else if (args[i] == "--password-file" && has_value) {
            o.password = vux_file::Read(args[++i]);
            o.password.erase(std::min(o.password.find('\n'), o.password.size()));
            if (!o.password.empty() && o.password.back() == '\r') o.password.pop_back();
        } else if (args[i] == "--timeout" && has_value) {
            char* end = nullptr;
            const unsigned long t = std::strtoul(args[++i].c_str(), &end, 10);
            if (args[i].empty() || *end || t < 1 || t > 86400) throw Usage{};
            o.timeout = t;
        } else if (args[i] == "--active") {
            o.active = true;
        } else if (args[i].rfind("--", 0) == 0) {
            throw Usage{};
        } else {
            o.words.push_back(args[i]);
        }
    }
    return o;
}

}  // namespace

// One operation on an FTP(S) server; an empty user logs in as "anonymous".
int Ftp(const Args& args) {
    const Options o = Parse(args);
    const Args& w = o.words;
    const std::string op = w.empty() ? "" : w[0];
    const std::size_t n = w.size();
    const bool fits = (op == "ls" && (n == 2 || n == 3)) || (op == "get" && (n == 3 || n == 4)) ||
                      (op == "put" && n == 4) || ((op == "mkdir" || op == "rm") && n == 3);
    if (!fits) throw Usage{};
    vux_rpc::Ftp ftp(w[1], o.user, o.password, o.timeout);
    if (o.active) ftp.SetMode(vux_rpc::Ftp::Active);
    if (op == "ls") {
        StringList names;
        ftp.List(n == 3 ? w[2] : "", names);
        for (const std::string& name : names) std::cout << name << "\n";
    } else if (op == "get" && n == 4) {
        ftp.Get(w[2], w[3]);
    } else if (op == "get") {
        ftp.Get(w[2], std::cout);
    } else if (op == "put") {
        if (!ftp.Put(w[2], w[3])) {
            std::cerr << "upload of " << w[2] << " was cut off\n";
            return 1;
        }
    } else if (op == "mkdir") {
        ftp.MkPath(w[2]);
    } else {
        ftp.Delete(w[2]);
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
