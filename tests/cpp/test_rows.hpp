// Seeded pseudo-random float rows for the C++ tests: a 64-bit LCG whose top
// bits give values in [-2^23, 2^23) / denom. `stream` separates the data sets
// of different tests; fixed inputs keep pinned expectations stable.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
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

// Equal bits, or both NaN (a NaN's payload is never read downstream).
inline bool same_bits(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) || (a != a && b != b);
}

// Mostly ordinary values in [-2, 2), with, when `specials` is set, the
// occasional zero of either sign, infinity, NaN, subnormal or value large
// enough to overflow a sum; the sign alternation makes the summation order
// visible in the last bits.
inline std::vector<float> kernel_values(std::size_t n, std::mt19937& rng, bool specials) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float pool[] = {0.0f, -0.0f, inf, -inf, nan, 1e-40f, -3e38f, 3e38f, 1e8f, -1e8f};
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<float> v(n);
    for (float& x : v) {
        const int i = pick(rng);
        x = specials && i < 10 ? pool[i] : u(rng);
    }
    return v;
}

}  // namespace qortest
