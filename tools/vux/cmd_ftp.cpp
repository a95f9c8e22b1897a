#include <algorithm>
#include <cstdlib>
#include <iostream>

#include <libvux/vuxfile.h>
#include <libvux/vuxrpc.h>

#include "commands.h"

namespace vuxtool {

namespace {

bool Timeout(std::string& text) {
    char* end = nullptr;
    const unsigned long t = std::strtoul(text.c_str(), &end, 10);
    return !text.empty() && !*end && text[0] != '-' && t >= 1 && t <= 86400;
}

// The password is the first line of a file, kept out of the process list and the history.
std::string ReadPassword(const std::string& path) {
    std::string password = vux_file::Read(path);
    password.erase(std::min(password.find('\n'), password.size()));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace

void FtpOptions(vux_args::Args& a) {
    a.AddOption("user", 'u', "the login; without it, anonymous").SetParam()
        .AddOption("password-file", 'p', "the password is the first line of this file").SetParam()
        .AddOption("active", 'a', "active mode: the server connects back for the data")
        .AddOption("timeout", 't', "seconds connecting, or waiting for the server to connect back, may take")
        .SetDefault("30").SetValidator(&Timeout);
}

// One operation on an FTP(S) server; an empty user logs in as "anonymous".
int Ftp(const Cmdline& c) {
    if (HasUnknownOption(c)) throw Usage{};
    const vux_args::Result& o = c.options;
    const Args& w = c.args;
    const std::string op = w.empty() ? "" : w[0];
    const std::size_t n = w.size();
    const bool fits = (op == "ls" && (n == 2 || n == 3)) || (op == "get" && (n == 3 || n == 4)) ||
                      (op == "put" && n == 4) || ((op == "mkdir" || op == "rm") && n == 3);
    if (!fits) throw Usage{};
    const std::string password = o.Has("password-file") ? ReadPassword(o["password-file"]) : "";
    vux_rpc::Ftp ftp(w[1], o["user"], password, std::strtoul(o["timeout"].c_str(), nullptr, 10));
    if (o.Has("active")) ftp.SetMode(vux_rpc::Ftp::Active);
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
