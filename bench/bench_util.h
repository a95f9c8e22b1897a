// What the benchmark programs share.
#ifndef LIBVUX_BENCH_BENCH_UTIL_H
#define LIBVUX_BENCH_BENCH_UTIL_H

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace benchutil {

// n pseudo-random bytes, the same in every run for the same seed.
inline std::string RandomBytes(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::mt19937_64 gen(seed);
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t v = gen();
        std::memcpy(&s[i], &v, n - i < 8 ? n - i : 8);
    }
    return s;
}

}  // namespace benchutil

#endif
