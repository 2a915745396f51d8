// Body of the query-rows-in-lanes code-MaxSim kernels, included by one thin
// file per instruction set. One int32 lane per query row: for a block of R
// vectors, each lane starts from its K entry and adds the vector's U
// entries; the block's sums then enter the running maxima. Whole numbers:
// every order of additions gives the same sums. Everything sits in an
// anonymous namespace, so each including file gets its own copy compiled
// with its own flags.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

#include "codes/code_maxsim.hpp"
#include "common/simd_x86.hpp"

namespace qor {
namespace {

template <class V, std::size_t R>
inline void code_block(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                       std::size_t j0, typename V::I& mx) {
    const int32_t* table = t.table.data() + j0;
    const std::size_t ts = t.t_stride, bytes_per = t.code_bytes, full = t.groups / 2;
    typename V::I acc[R];
    const uint8_t* bytes[R];
    for (std::size_t r = 0; r < R; ++r) {
        const std::size_t code = std::min<std::size_t>(fine[r], static_cast<std::size_t>(t.n_fine));
        acc[r] = V::loadu_i(t.centroid.data() + code * t.c_stride + j0);
        bytes[r] = residual + r * bytes_per;
    }
    // Two groups per byte, low half first; an odd last group stands alone.
    for (std::size_t b = 0; b < full; ++b) {
        const int32_t* lo = table + 2 * b * CODE_GROUP_VALUES * ts;
        const int32_t* hi = lo + CODE_GROUP_VALUES * ts;
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
            acc[r] = V::add_i(acc[r], V::loadu_i(lo + std::size_t{bytes[r][b] & 0xFu} * ts));
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
            acc[r] = V::add_i(acc[r], V::loadu_i(hi + static_cast<std::size_t>(bytes[r][b] >> 4) * ts));
    }
    if (t.groups % 2 != 0) {
        const int32_t* lo = table + 2 * full * CODE_GROUP_VALUES * ts;
        for (std::size_t r = 0; r < R; ++r)
            acc[r] = V::add_i(acc[r], V::loadu_i(lo + std::size_t{bytes[r][full] & 0xFu} * ts));
    }
    for (std::size_t r = 0; r < R; ++r) mx = V::max_i(mx, acc[r]);
}

// The same for a query of at most 8 rows (one 8-lane vector, table rows of
// 32 bytes): 8 code bytes are read at once and each group's table offset is
// cut straight out of that word by one shift and one mask, instead of a
// byte load, a mask or shift and a multiply per group.
template <class V, std::size_t R>
inline void code_block_narrow(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                              typename V::I& mx) {
    static_assert(V::LANES == 8, "one vector of 8 query rows");
    constexpr std::size_t ROW = 8 * sizeof(int32_t);
    constexpr std::size_t GROUP = CODE_GROUP_VALUES * ROW;
    constexpr uint64_t MASK = (CODE_GROUP_VALUES - 1) * ROW;  // a group's value times ROW
    const std::size_t bytes_per = t.code_bytes, groups = t.groups;
    const char* table = reinterpret_cast<const char*>(t.table.data());
    typename V::I acc[R];
    for (std::size_t r = 0; r < R; ++r) {
        const std::size_t code = std::min<std::size_t>(fine[r], static_cast<std::size_t>(t.n_fine));
        acc[r] = V::loadu_i(t.centroid.data() + code * t.c_stride);
    }
    std::size_t g = 0;
    for (; g + 16 <= groups; g += 16) {
        uint64_t word[R];
        for (std::size_t r = 0; r < R; ++r) std::memcpy(&word[r], residual + r * bytes_per + g / 2, 8);
        const char* base = table + g * GROUP;
#pragma GCC unroll 16
        for (std::size_t k = 0; k < 16; ++k) {
#pragma GCC unroll 8
            for (std::size_t r = 0; r < R; ++r) {
                // Group k of the word sits at bit 4k; the offset is its value times ROW (2^5).
                const uint64_t off = (k == 0   ? word[r] << 5
                                      : k == 1 ? word[r] << 1
                                               : word[r] >> (4 * k - 5)) &
                                     MASK;
                acc[r] =
                    V::add_i(acc[r], V::loadu_i(reinterpret_cast<const int32_t*>(base + k * GROUP + off)));
            }
        }
    }
    for (; g < groups; ++g) {
        const char* base = table + g * GROUP;
        for (std::size_t r = 0; r < R; ++r) {
            const uint32_t value = code_group(residual + r * bytes_per, g);
            acc[r] = V::add_i(acc[r], V::loadu_i(reinterpret_cast<const int32_t*>(base + value * ROW)));
        }
    }
    for (std::size_t r = 0; r < R; ++r) mx = V::max_i(mx, acc[r]);
}

// Query rows j0 .. j0 + LANES - 1 over all n vectors: blocks of R, then one
// vector at a time.
template <class V, std::size_t R>
void code_strip(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
                std::size_t j0, int32_t* maxima) {
    typename V::I mx = V::set1_i(std::numeric_limits<int32_t>::min());
    std::size_t i = 0;
    if constexpr (V::LANES == 8) {
        if (t.t_stride == 8) {
            for (; i + R <= n; i += R) code_block_narrow<V, R>(t, fine + i, residual + i * t.code_bytes, mx);
            for (; i < n; ++i) code_block_narrow<V, 1>(t, fine + i, residual + i * t.code_bytes, mx);
            V::storeu_i(maxima, mx);
            return;
        }
    }
    for (; i + R <= n; i += R) code_block<V, R>(t, fine + i, residual + i * t.code_bytes, j0, mx);
    for (; i < n; ++i) code_block<V, 1>(t, fine + i, residual + i * t.code_bytes, j0, mx);
    V::storeu_i(maxima + j0, mx);
}

}  // namespace
}  // namespace qor
