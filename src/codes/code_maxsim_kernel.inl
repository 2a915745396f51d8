// Body of the vector code-MaxSim kernels, included by one thin file per
// instruction set after common/simd_x86.hpp. One lane per query row: for a
// block of R vectors, each lane starts from its centroid similarity and adds
// the table entries of the vector's residual bytes in byte order, the scalar
// kernel's operations in its order; the block's sums then enter the running
// maxima in vector order. Everything sits in an anonymous namespace, so each
// including file gets its own copy compiled with its own flags.
#include <algorithm>
#include <cstddef>
#include <limits>

namespace qor {
namespace {

template <class V, std::size_t R>
inline void code_block(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t j0,
                       typename V::F& mx) {
    const float* table = t.table.data() + j0;
    const std::size_t ts = t.t_stride, bytes_per = t.code_bytes, full = t.groups / 2;
    typename V::F acc[R];
    const uint8_t* bytes[R];
    for (std::size_t r = 0; r < R; ++r) {
        const std::size_t code = std::min<std::size_t>(fine[r], static_cast<std::size_t>(t.n_fine));
        acc[r] = V::loadu(t.centroid.data() + code * t.c_stride + j0);
        bytes[r] = residual + r * bytes_per;
    }
    // Two groups per byte, low half first; an odd last group stands alone.
    for (std::size_t b = 0; b < full; ++b) {
        const float* lo = table + 2 * b * CODE_GROUP_VALUES * ts;
        const float* hi = lo + CODE_GROUP_VALUES * ts;
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
            acc[r] = V::add(acc[r], V::loadu(lo + std::size_t{bytes[r][b] & 0xFu} * ts));
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
            acc[r] = V::add(acc[r], V::loadu(hi + static_cast<std::size_t>(bytes[r][b] >> 4) * ts));
    }
    if (t.groups % 2 != 0) {
        const float* lo = table + 2 * full * CODE_GROUP_VALUES * ts;
        for (std::size_t r = 0; r < R; ++r)
            acc[r] = V::add(acc[r], V::loadu(lo + std::size_t{bytes[r][full] & 0xFu} * ts));
    }
    for (std::size_t r = 0; r < R; ++r) mx = V::max_keep(acc[r], mx);
}

// Query rows j0 .. j0 + LANES - 1 over all n vectors: blocks of R, then one
// vector at a time.
template <class V, std::size_t R>
void code_strip(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
                std::size_t j0, float* maxima) {
    typename V::F mx = V::set1(-std::numeric_limits<float>::infinity());
    std::size_t i = 0;
    for (; i + R <= n; i += R) code_block<V, R>(t, fine + i, residual + i * t.code_bytes, j0, mx);
    for (; i < n; ++i) code_block<V, 1>(t, fine + i, residual + i * t.code_bytes, j0, mx);
    V::storeu(maxima + j0, mx);
}

}  // namespace
}  // namespace qor
