#include <iostream>

#include <libvux/vuxenv.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxhash.h>
#include <libvux/vuxmime.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxstream.h>

#include "commands.h"

namespace vuxtool {

int Os(const Cmdline& c) {
    const Args& args = c.args;
    if (!args.empty()) throw Usage{"os"};
    const int code = vux_env::GetOsType();
    const std::string version = vux_env::GetOsVersion();
    std::string name = vux_env::GetOs();
    name.resize(name.size() - version.size() - 1);
    const char* family = (code & 0x20200) >= 0x20200   ? "debian"
                         : (code & 0x20100) == 0x20100 ? "redhat"
                         : code == 0                   ? "unknown"
                                                       : "other";
    std::cout << "name: " << (name.empty() && code ? "(unnamed)" : name.empty() ? "unknown" : name) << "\n"
              << "family: " << family << "\n"
              << "version: " << version << "\n"
              << "arch: " << vux_env::GetOsArch() << "\n"
              << "openvz container: " << (vux_env::IsOpenVZChild() ? "yes" : "no") << "\n"
              << "repository file: " << vux_env::GetRepoFile() << "\n";
    return std::cout ? 0 : 1;
}

// Prints the hex digest and the file name, as md5sum does; no file (the command line drops
// a lone "-") is standard input, named "-".
int Hash(const Cmdline& c) {
    const Args& args = c.args;
    const char* const usage = "hash md5|sha1|sha256|sha512 [FILE]";
    if (args.size() != 1 && args.size() != 2) throw Usage{usage};
    const std::string path = args.size() == 2 ? args[1] : "-";
    vux_hash::HashType type;
    if (args[0] == "md5")
        type = vux_hash::HashMD5;
    else if (args[0] == "sha1")
        type = vux_hash::HashSHA1;
    else if (args[0] == "sha256")
        type = vux_hash::HashSHA256;
    else if (args[0] == "sha512")
        type = vux_hash::HashSHA512;
    else
        throw Usage{usage};
    vux_hash::Hash hash(type);
    vux_stream::InStream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.Open(path);
        if (!file.IsOpen()) throw vux_file::Fail("open_r", path);
        in = &file;
    }
    std::string buf(1 << 16, '\0');
    while (in->read(&buf[0], static_cast<std::streamsize>(buf.size())) || in->gcount() > 0)
        hash.Update(buf.data(), static_cast<std::size_t>(in->gcount()));
    if (in->bad()) throw vux_file::Fail("read", path);
    std::cout << str::hex::Encode(hash.Str()) << "  " << path << "\n";
    return std::cout ? 0 : 1;
}

// The type from etc/dist/types.mime; exits 1 when none is registered.
int Mime(const Cmdline& c) {
    const Args& args = c.args;
    if (args.size() != 1) throw Usage{"mime EXTENSION"};
    const std::string type = vux_mime::GetMimeType(args[0]);
    if (type.empty()) return 1;
    std::cout << type << "\n";
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
