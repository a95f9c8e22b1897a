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

bool InRange(const std::string& text, long low, long high) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && !*end && n >= low && n <= high;
}

bool Port(std::string& text) { return InRange(text, 1, 65535); }
bool Action(std::string& text) { return InRange(text, 1, 31); }

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

void SshOptions(vux_args::Args& a) {
    a.AddOption("key", 'k', "log in with this private key file").SetParam().SetGroup("login").SetRequired()
        .AddOption("password-file", 'p', "log in with the password on the first line of this file")
        .SetParam().SetGroup("login").SetRequired()
        .AddOption("port", 'P', "the server's port").SetDefault("22").SetValidator(&Port)
        .AddOption("known-hosts", 'K', "check the server's key against this known-hosts file").SetParam()
        .AddOption("hostkey-action", 'A', "with --known-hosts: the sum of 1 ignore, 2 check, 4 add unknown, "
                                          "8 replace changed, 16 plain host name")
        .SetDefault("2").SetValidator(&Action);
}

// Runs the command on the host, streaming standard input and output, and exits with its
// status (255 for a command ended by a signal or a time-out). The command is what follows
// "--", so that its own options are not taken for ours.
int Ssh(const Cmdline& c) {
    const Args& args = c.args;
    if (!c.dashdash || c.before_dashdash != 1 || args.size() < 2 || args[0].find('@') == std::string::npos ||
        HasUnknownOption(c))
        throw Usage{kUsage};
    const vux_args::Result& o = c.options;
    const std::string key = o["key"], password_file = o["password-file"], known_hosts = o["known-hosts"];
    const int port = std::atoi(o["port"].c_str()), action = std::atoi(o["hostkey-action"].c_str());
    const std::string& target = args[0];
    const std::string user = target.substr(0, target.rfind('@')), host = target.substr(target.rfind('@') + 1);
    std::string command;
    for (std::size_t i = 1; i < args.size(); ++i) command += (command.empty() ? "" : " ") + args[i];
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
