// Subcommands of the vux utility.
#ifndef VUX_TOOL_COMMANDS_H
#define VUX_TOOL_COMMANDS_H

#include <cstddef>
#include <string>
#include <vector>

#include <libvux/vuxargs.h>

namespace vuxtool {

typedef std::vector<std::string> Args;

// A command line parsed against the options a command declared.
struct Cmdline {
    const vux_args::Result& options;
    // The plain arguments, in order.
    const Args& args;
    // "--" was given: what follows it is another program's command line.
    bool dashdash;
    // How many of args came before "--" (all of them without it); a word starting with "-"
    // among those is an option nobody declared.
    std::size_t before_dashdash;
};

// A word before "--" that looks like an option was not one of the command's.
bool HasUnknownOption(const Cmdline& c);

struct Command {
    const char* name;
    const char* usage;
    // Declares the command's options; null for a command that has none.
    void (*declare)(vux_args::Args& options);
    int (*run)(const Cmdline& c);
};

void StrOptions(vux_args::Args& a);
void DateOptions(vux_args::Args& a);
void MoneyOptions(vux_args::Args& a);
void FileOptions(vux_args::Args& a);
void LogOptions(vux_args::Args& a);
void ExecOptions(vux_args::Args& a);
void CryptoOptions(vux_args::Args& a);
void DnsOptions(vux_args::Args& a);
void CoreOptions(vux_args::Args& a);
void FtpOptions(vux_args::Args& a);
void HttpOptions(vux_args::Args& a);
void SshOptions(vux_args::Args& a);
void MailOptions(vux_args::Args& a);
void CloudOptions(vux_args::Args& a);

int Str(const Cmdline& c);
int Xml(const Cmdline& c);
int Date(const Cmdline& c);
int Money(const Cmdline& c);
int File(const Cmdline& c);
int Log(const Cmdline& c);
int Access(const Cmdline& c);
int Exec(const Cmdline& c);
int Os(const Cmdline& c);
int Hash(const Cmdline& c);
int Mime(const Cmdline& c);
int Crypto(const Cmdline& c);
int Net(const Cmdline& c);
int Dns(const Cmdline& c);
int Core(const Cmdline& c);
int Http(const Cmdline& c);
int Ftp(const Cmdline& c);
int Mail(const Cmdline& c);
int Ssh(const Cmdline& c);
int Cloud(const Cmdline& c);
int Task(const Cmdline& c);
int Tour(const Cmdline& c);

// Thrown for a wrong command line; main prints it with the command's help and exits 2.
struct Usage {
    std::string text;
};

std::string ReadAll(std::istream& in);

}  // namespace vuxtool

#endif
