#include <sys/stat.h>

#include <cstdlib>
#include <deque>
#include <utility>
#include <iostream>

#include <libvux/vuxdate.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxstream.h>
#include <libvux/vuxuser.h>

#include "commands.h"

namespace vuxtool {

namespace {

const char* const kUsage =
    "file tail [-n N] FILE | file stat [-L] PATH | file copy [--mode OCTAL] [--owner USER] SRC DST | "
    "file safe-copy SRC DST | file safe-remove DIR NAME";

bool Count(std::string& s) {
    char* end = nullptr;
    const long n = std::strtol(s.c_str(), &end, 10);
    return !s.empty() && !*end && n >= 0;
}

bool Mode(std::string& s) {
    char* end = nullptr;
    const long mode = std::strtol(s.c_str(), &end, 8);
    return !s.empty() && !*end && mode >= 0 && mode <= 07777;
}

// The last lines come first from the back-reader; a final newline shows up as an
// empty first line and is put back when printing.
int Tail(const vux_args::Result& o, const Args& args) {
    if (args.size() != 1) throw Usage{kUsage};
    const long count = std::strtol(o["lines"].c_str(), nullptr, 10);
    const std::string& path = args[0];
    vux_stream::InStream in(path);
    if (!in.IsOpen()) throw vux_file::Fail("open_r", path);
    vux_stream::BackReader back(in);
    std::deque<std::string> lines;
    std::string line;
    bool newline_at_end = false;
    bool first = true;
    while (static_cast<long>(lines.size()) < count && back.GetLine(line, '\n', 1L << 30, false)) {
        if (first) {
            first = false;
            if (line.empty() && vux_file::Info(path, false).Size() > 0) {
                newline_at_end = true;
                continue;
            }
        }
        lines.push_front(line);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::cout << lines[i];
        if (i + 1 < lines.size() || newline_at_end) std::cout << '\n';
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

std::string Kind(const vux_file::Info& info) {
    if (info.IsLink()) return "link";
    if (info.IsDir()) return "directory";
    if (info.IsFile()) return "file";
    if (info.IsDev()) return "device";
    return "other";
}

int Stat(const vux_args::Result& o, const Args& args) {
    if (args.size() != 1) throw Usage{kUsage};
    const bool follow = o.Has("follow");
    const std::string& path = args[0];
    vux_file::Info info(path, !follow);
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.Mode() & 07777));
    std::cout << "path: " << path << "\n"
              << "type: " << Kind(info) << "\n"
              << "size: " << info.Size() << "\n"
              << "mode: " << mode << "\n"
              << "owner: " << info.Owner() << "\n"
              << "group: " << info.Group() << "\n"
              << "inode: " << info.Inode() << "\n"
              << "links: " << info.HardLinkCount() << "\n"
              << "modified: " << vux_date::Format(info.Time(), "%Y-%m-%d %H:%M:%S") << "\n";
    if (info.IsLink()) std::cout << "target: " << vux_file::ReadLink(path) << "\n";
    return std::cout ? 0 : 1;
}

int Copy(const vux_args::Result& o, const Args& paths) {
    if (paths.size() != 2) throw Usage{kUsage};
    vux_file::Attrs attrs;
    if (o.Has("mode")) attrs.set_mode(static_cast<int>(std::strtol(o["mode"].c_str(), nullptr, 8)));
    if (o.Has("owner")) attrs.set_owner(vux_user::Uid(o["owner"])).set_group(vux_user::Gid(o["owner"]));
    const bool have_attrs = o.Has("mode") || o.Has("owner");
    vux_file::Copy(paths[0], paths[1], have_attrs ? &attrs : nullptr);
    return 0;
}

// The folder a path names its last component in, and that component.
std::pair<vux_file::safe::Folder, std::string> Parent(const std::string& path) {
    const std::pair<std::string, std::string> parts = vux_file::SplitPath(vux_file::GoodPath(path));
    if (parts.second.empty()) throw Usage{kUsage};
    const std::string dir = parts.first.empty() ? (path[0] == '/' ? "/" : ".") : parts.first;
    return std::make_pair(vux_file::safe::Folder(dir), parts.second);
}

// Below the two parents nothing is followed through a link: for trees other users write.
int SafeCopy(const Args& args) {
    if (args.size() != 2) throw Usage{kUsage};
    const auto [from, name] = Parent(args[0]);
    const auto [to, to_name] = Parent(args[1]);
    from.Copy(name, to, to_name);
    return 0;
}

int SafeRemove(const Args& args) {
    if (args.size() != 2) throw Usage{kUsage};
    vux_file::safe::Folder(args[0]).Remove(args[1], true);
    return 0;
}

}  // namespace

void FileOptions(vux_args::Args& a) {
    a.AddOption("lines", 'n', "tail: how many lines").SetValidator(&Count).SetDefault("10")
        .AddOption("follow", 'L', "stat: follow a link")
        .AddOption("mode", 'm', "copy: the copies' mode, in octal").SetValidator(&Mode)
        .AddOption("owner", 'o', "copy: the copies' owner and group, the user's").SetParam();
}

int File(const Cmdline& c) {
    const Args& args = c.args;
    if (args.empty()) throw Usage{kUsage};
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "tail") return Tail(c.options, rest);
    if (args[0] == "stat") return Stat(c.options, rest);
    if (args[0] == "copy") return Copy(c.options, rest);
    if (args[0] == "safe-copy") return SafeCopy(rest);
    if (args[0] == "safe-remove") return SafeRemove(rest);
    throw Usage{kUsage};
}

}  // namespace vuxtool
