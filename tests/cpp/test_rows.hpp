// Seeded pseudo-random float rows for the C++ tests: a 64-bit LCG whose top
// bits give values in [-2^23, 2^23) / denom. `stream` separates the data sets
// of different tests; fixed inputs keep pinned expectations stable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qortest {

inline std::vector<float> random_rows(std::size_t n, std::size_t d, uint64_t seed, uint64_t stream,
                                      float denom) {
    std::vector<float> v(n * d);
    uint64_t s = seed * 0x9E3779B97F4A7C15ULL + stream;
    for (float& x : v) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        x = static_cast<float>(static_cast<int64_t>(s >> 40) - (int64_t{1} << 23)) / denom;
    }
    return v;
}

}  // namespace qortest
