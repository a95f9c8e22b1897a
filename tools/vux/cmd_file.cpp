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

long Number(const std::string& s) {
    char* end = nullptr;
    long n = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end || n < 0) throw Usage{kUsage};
    return n;
}

// The last lines come first from the back-reader; a final newline shows up as an
// empty first line and is put back when printing.
int Tail(const Args& args) {
    long count = 10;
    std::string path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-n" && i + 1 < args.size()) {
            count = Number(args[++i]);
        } else if (path.empty()) {
            path = args[i];
        } else {
            throw Usage{kUsage};
        }
    }
    if (path.empty()) throw Usage{kUsage};
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

int Stat(const Args& args) {
    bool follow = false;
    std::string path;
    for (const std::string& a : args) {
        if (a == "-L")
            follow = true;
        else if (path.empty())
            path = a;
        else
            throw Usage{kUsage};
    }
    if (path.empty()) throw Usage{kUsage};
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

int Copy(const Args& args) {
    vux_file::Attrs attrs;
    bool have_attrs = false;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--mode" && i + 1 < args.size()) {
            char* end = nullptr;
            long mode = std::strtol(args[++i].c_str(), &end, 8);
            if (args[i].empty() || *end || mode < 0 || mode > 07777) throw Usage{kUsage};
            attrs.set_mode(static_cast<int>(mode));
            have_attrs = true;
        } else if (args[i] == "--owner" && i + 1 < args.size()) {
            ++i;
            attrs.set_owner(vux_user::Uid(args[i])).set_group(vux_user::Gid(args[i]));
            have_attrs = true;
        } else {
            paths.push_back(args[i]);
        }
    }
    if (paths.size() != 2) throw Usage{kUsage};
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

int File(const Args& args) {
    if (args.empty()) throw Usage{kUsage};
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "tail") return Tail(rest);
    if (args[0] == "stat") return Stat(rest);
    if (args[0] == "copy") return Copy(rest);
    if (args[0] == "safe-copy") return SafeCopy(rest);
    if (args[0] == "safe-remove") return SafeRemove(rest);
    throw Usage{kUsage};
}

}  // namespace vuxtool
