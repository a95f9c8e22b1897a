// Message digests.
#ifndef LIBVUX_VUXHASH_H
#define LIBVUX_VUXHASH_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

VUX_API_BEGIN

namespace vux_hash {

enum HashType : int { HashMD5 = 0, HashSHA1 = 1, HashSHA256 = 2, HashSHA512 = 3 };

// A digest under way; copies share it. A default-constructed Hash is a dummy.
class Hash {
public:
    Hash() {}
    explicit Hash(HashType type);

    Hash& Update(const char* data, std::size_t size);
    Hash& Update(const std::string& data);
    // The raw digest (not hex); the first call finalises.
    std::string Str();
    operator std::string() { return Str(); }

    struct VUX_INTERNAL Data;

private:
    std::shared_ptr<Data> data_;
};

// Raw MD5 of everything the stream yields.
std::string md5stream(std::istream& in);
// One pass: returns the raw MD5 and stores the raw SHA-256 in `sha256`.
std::string md5sha256stream(std::istream& in, std::string& sha256);

}  // namespace vux_hash

VUX_API_END

#endif
