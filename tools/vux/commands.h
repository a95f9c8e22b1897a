// Subcommands of the vux utility.
#ifndef VUX_TOOL_COMMANDS_H
#define VUX_TOOL_COMMANDS_H

#include <string>
#include <vector>

namespace vuxtool {

typedef std::vector<std::string> Args;

struct Command {
    const char* name;
    const char* usage;
    int (*run)(const Args& args);
};

int Str(const Args& args);
int Xml(const Args& args);
int Date(const Args& args);
int Money(const Args& args);
int File(const Args& args);
int Log(const Args& args);
int Access(const Args& args);
int Exec(const Args& args);
int Os(const Args& args);
int Hash(const Args& args);
int Mime(const Args& args);
int Crypto(const Args& args);
int Net(const Args& args);
int Dns(const Args& args);
int Ftp(const Args& args);
int Task(const Args& args);
int Tour(const Args& args);

// Thrown for a wrong command line; main prints the usage and exits 2.
struct Usage {
    std::string text;
};

std::string ReadAll(std::istream& in);

}  // namespace vuxtool

#endif
