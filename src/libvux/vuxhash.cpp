#include <libvux/vuxhash.h>

#include <istream>

namespace vux_hash {

namespace {
const std::streamsize kBlock = 4096;
}  // namespace

std::string md5stream(std::istream& in) {
    Hash md5(HashMD5);
    char buf[kBlock];
    while (in.read(buf, kBlock) || in.gcount() > 0) md5.Update(buf, static_cast<std::size_t>(in.gcount()));
    return md5.Str();
}

std::string md5sha256stream(std::istream& in, std::string& sha256) {
    Hash md5(HashMD5), sha(HashSHA256);
    char buf[kBlock];
    while (in.read(buf, kBlock) || in.gcount() > 0) {
        md5.Update(buf, static_cast<std::size_t>(in.gcount()));
        sha.Update(buf, static_cast<std::size_t>(in.gcount()));
    }
    sha256 = sha.Str();
    return md5.Str();
}

}  // namespace vux_hash
