// XXTEA (corrected block TEA) over byte strings; words are little-endian.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <vector>

namespace {

class XxteaFail : public vux_err::Error {
public:
    explicit XxteaFail(const std::string& object) : vux_err::Error("xxtea", object) { set_report(); }
};

const std::uint32_t kDelta = 0x9E3779B9u;

typedef std::vector<std::uint32_t> Words;

std::uint32_t Load32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void Store32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void Key(const std::string& key, std::uint32_t k[4]) {
    if (key.size() < 16) throw XxteaFail("bad_key");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(key.data());
    for (int i = 0; i < 4; ++i) k[i] = Load32(p + 4 * i);
}

inline std::uint32_t Mx(std::uint32_t sum, std::uint32_t y, std::uint32_t z, std::size_t p, std::uint32_t e,
                        const std::uint32_t k[4]) {
    return (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^ ((sum ^ y) + (k[(p & 3) ^ e] ^ z));
}

void EncryptWords(Words& v, const std::uint32_t k[4]) {
    const std::size_t n = v.size();
    if (n < 2) return;
    std::uint32_t rounds = static_cast<std::uint32_t>(6 + 52 / n);
    std::uint32_t sum = 0, y, z = v[n - 1];
    while (rounds--) {
        sum += kDelta;
        std::uint32_t e = (sum >> 2) & 3;
        std::size_t p;
        for (p = 0; p < n - 1; ++p) {
            y = v[p + 1];
            z = v[p] += Mx(sum, y, z, p, e, k);
        }
        y = v[0];
        z = v[n - 1] += Mx(sum, y, z, p, e, k);
    }
}

void DecryptWords(Words& v, const std::uint32_t k[4]) {
    const std::size_t n = v.size();
    if (n < 2) return;
    std::uint32_t rounds = static_cast<std::uint32_t>(6 + 52 / n);
    std::uint32_t sum = rounds * kDelta, y = v[0], z;
    while (rounds--) {
        std::uint32_t e = (sum >> 2) & 3;
        std::size_t p;
        for (p = n - 1; p > 0; --p) {
            z = v[p - 1];
            y = v[p] -= Mx(sum, y, z, p, e, k);
        }
        z = v[n - 1];
        y = v[0] -= Mx(sum, y, z, p, e, k);
        sum -= kDelta;
    }
}

}  // namespace

namespace str {
namespace xxtea {

std::string Encode(const std::string& key, const std::string& data) {
    if (data.empty()) return std::string();
    std::uint32_t k[4];
    Key(key, k);
    const std::size_t n = (data.size() + 3) / 4 + 1;
    std::string block(4 * n, '\0');
    block.replace(0, data.size(), data);
    unsigned char* b = reinterpret_cast<unsigned char*>(&block[0]);
    Store32(b + 4 * (n - 1), static_cast<std::uint32_t>(data.size()));
    Words v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = Load32(b + 4 * i);
    EncryptWords(v, k);
    for (std::size_t i = 0; i < n; ++i) Store32(b + 4 * i, v[i]);
    return block;
}

std::string Decode(const std::string& key, const std::string& data) {
    if (data.empty()) return std::string();
    std::uint32_t k[4];
    Key(key, k);
    if (data.size() % 4) throw XxteaFail("data_size");
    const std::size_t n = data.size() / 4;
    // A single word is shorter than a block: the cipher leaves it alone and it holds no text.
    if (n < 2) return std::string();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(data.data());
    Words v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = Load32(b + 4 * i);
    DecryptWords(v, k);
    const std::size_t len = v[n - 1];
    // The length word is how a wrong key shows: it must fall within the last data word.
    if (!(4 * n - 8 < len && len <= 4 * n - 4)) throw XxteaFail("bad_data");
    std::string out(len, '\0');
    unsigned char* o = reinterpret_cast<unsigned char*>(&out[0]);
    for (std::size_t i = 0; i < len; ++i) o[i] = static_cast<unsigned char>(v[i / 4] >> (8 * (i % 4)));
    return out;
}

}  // namespace xxtea
}  // namespace str
