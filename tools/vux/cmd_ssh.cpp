#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include <libvux/vuxssh.h>

#include "commands.h"

namespace vuxtool {

namespace {

const char* const kUsage =
    "ssh [--key FILE | --password-file FILE] [--port N] [--known-hosts FILE --hostkey-action N] USER@HOST -- COMMAND";

int Number(const std::string& text, long low, long high) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || n < low || n > high) throw Usage{kUsage};
    return static_cast<int>(n);
}

// The first line of the file, so that a password file may end with a newline.
std::string ReadPassword(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        std::cerr << "cannot read the password from '" << path << "'\n";
        std::exit(2);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Whatever output has arrived goes to standard output; false once the output has ended.
bool Drain(vux_rpc::SSH& ssh) {
    char buf[65536];
    for (std::streamsize n; (n = ssh.Out().readsome(buf, sizeof buf)) > 0;) std::cout.write(buf, n);
    std::cout.flush();
    return !ssh.Out().eof() && !ssh.Out().bad();
}

// Standard input to the command and its output back, in turns, so that neither direction's
// window fills while the other waits.
void Pump(vux_rpc::SSH& ssh) {
    char buf[32768];
    bool feeding = true;
    while (feeding) {
        pollfd p = {0, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n > 0 && ssh.In().write(buf, n).flush()) {
                // Still feeding.
            } else {
                if (n <= 0 && ssh.In()) ssh.CloseIn();
                feeding = false;
            }
        }
        if (!Drain(ssh)) break;
    }
    std::istream& out = ssh.Out();
    while (out.read(buf, sizeof buf) || out.gcount() > 0) std::cout.write(buf, out.gcount());
    std::cout.flush();
}

}  // namespace

// Runs the command on the host, streaming standard input and output, and exits with its
// status (255 for a command ended by a signal or a time-out).
int Ssh(const Args& args) {
    std::string key, password_file, known_hosts;
    int port = 22, action = vux_rpc::HostKeyCheck;
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0 && args[i] != "--"; ++i) {
        const bool value = i + 1 < args.size();
        if (args[i] == "--key" && value) {
            key = args[++i];
        } else if (args[i] == "--password-file" && value) {
            password_file = args[++i];
        } else if (args[i] == "--port" && value) {
            port = Number(args[++i], 1, 65535);
        } else if (args[i] == "--known-hosts" && value) {
            known_hosts = args[++i];
        } else if (args[i] == "--hostkey-action" && value) {
            action = Number(args[++i], 1, 31);
        } else {
            throw Usage{kUsage};
        }
    }
    if (i + 2 >= args.size() || args[i + 1] != "--" || args[i].find('@') == std::string::npos ||
        key.empty() == password_file.empty())
        throw Usage{kUsage};
    const std::string& target = args[i];
    const std::string user = target.substr(0, target.rfind('@')), host = target.substr(target.rfind('@') + 1);
    std::string command;
    for (std::size_t c = i + 2; c < args.size(); ++c) command += (command.empty() ? "" : " ") + args[c];
    std::unique_ptr<vux_rpc::SSH> ssh;
    if (!key.empty())
        ssh = std::make_unique<vux_rpc::SSHkey>(host, user, key, "", port);
    else
        ssh = std::make_unique<vux_rpc::SSHpass>(host, user, ReadPassword(password_file), port);
    if (!known_hosts.empty()) ssh->EnableVerifyHostKey(known_hosts, static_cast<vux_rpc::HostKeyAction>(action));
    ssh->Execute(command);
    Pump(*ssh);
    const int status = ssh->Result();
    ssh->Disconnect();
    return status < 0 ? 255 : status;
}

}  // namespace vuxtool
