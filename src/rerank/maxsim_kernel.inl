// Body of the vector MaxSim kernels, included by one thin file per
// instruction set after it has defined its vector operations `V` (see
// common/simd_x86.hpp). One lane per query row: a block of CB document rows
// times NV vectors of query rows stays in registers across the dimensions,
// each lane doing the scalar kernel's operations in its order (start from
// +0, multiply, then add, dimensions in increasing order); the block's dots
// then enter the running maxima in row order. float16 rows are widened a
// block at a time, just before the block is scored, into a buffer that stays
// in L1, and read from there.
//
// Everything here sits in an anonymous namespace: each including file gets
// its own copy, compiled with its own flags, and nothing collides at link
// time.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace qor {
namespace {

// Widens 16 binary16 values at src into dst, exactly.
template <class V>
inline void widen16(const uint16_t* src, float* dst) {
    if constexpr (V::LANES == 16) {
        _mm512_storeu_ps(dst,
                         _mm512_mask_cvtph_ps(_mm512_setzero_ps(), static_cast<__mmask16>(0xFFFF),
                                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src))));
    } else {
        _mm256_storeu_ps(dst, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src))));
        _mm256_storeu_ps(dst + 8,
                         _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8))));
    }
}

// Widens n <= 16 binary16 values, the last few through a zero-padded copy
// (no call in the kernel, which would make the compiler keep its sums in
// memory).
template <class V>
inline void widen_part(const uint16_t* src, std::size_t n, float* dst) {
    if (n == Lookahead::SLOT) return widen16<V>(src, dst);
    uint16_t part[16] = {};
    for (std::size_t i = 0; i < n; ++i) part[i] = src[i];
    widen16<V>(part, dst);
}

// CB rows starting at `rows`. float16 rows are first widened into `scratch`
// slot by slot: the 16 dimensions of a slot of every row side by side, so
// that the kernel reads each row's value at a fixed offset from one pointer.
template <class V, std::size_t CB, std::size_t NV, class T>
inline void maxsim_block(const float* qt, std::size_t stride, std::size_t dim, const T* rows, float* scratch,
                         std::size_t j0, typename V::F* mx, Lookahead& ahead) {
    constexpr std::size_t SLOT = Lookahead::SLOT;
    constexpr bool HALF = std::is_same_v<T, uint16_t>;
    if constexpr (HALF)
        for (std::size_t slot = 0; slot < dim; slot += SLOT) {
            const std::size_t width = slot + SLOT < dim ? SLOT : dim - slot;
            for (std::size_t c = 0; c < CB; ++c)
                widen_part<V>(rows + c * dim + slot, width, scratch + slot * CB + c * SLOT);
        }
    typename V::F acc[CB][NV];
    for (std::size_t c = 0; c < CB; ++c)
        for (std::size_t v = 0; v < NV; ++v) acc[c][v] = V::zero();
    for (std::size_t slot = 0; slot < dim; slot += SLOT) {
        // Rows stream in while these are scored: a part of the lookahead's
        // (the next candidate's), and a line of each row of the next block
        // (past the document's end, whatever follows it).
        ahead.fetch();
        for (std::size_t c = 0; c < CB; ++c) __builtin_prefetch(rows + (CB + c) * dim + slot);
        const std::size_t slot_end = slot + SLOT < dim ? slot + SLOT : dim;
        const float* wide = scratch + slot * CB;
        for (std::size_t p = slot; p < slot_end; ++p) {
            typename V::F x[NV];
            for (std::size_t v = 0; v < NV; ++v) x[v] = V::loadu(qt + p * stride + j0 + v * V::LANES);
#pragma GCC unroll 16
            for (std::size_t c = 0; c < CB; ++c) {
                typename V::F rv;
                if constexpr (HALF)
                    rv = V::set1(wide[c * SLOT + (p - slot)]);
                else
                    rv = V::set1(rows[c * dim + p]);
                for (std::size_t v = 0; v < NV; ++v) acc[c][v] = V::add(acc[c][v], V::mul(x[v], rv));
            }
        }
    }
    for (std::size_t c = 0; c < CB; ++c)
        for (std::size_t v = 0; v < NV; ++v) mx[v] = V::max_keep(acc[c][v], mx[v]);
}

// A block of n <= CB rows, n known only at run time.
template <class V, std::size_t CB, std::size_t NV, class T>
inline void maxsim_block_of(std::size_t n, const float* qt, std::size_t stride, std::size_t dim,
                            const T* rows, float* scratch, std::size_t j0, typename V::F* mx,
                            Lookahead& ahead) {
    if constexpr (CB > 1)
        if (n < CB)
            return maxsim_block_of<V, CB - 1, NV, T>(n, qt, stride, dim, rows, scratch, j0, mx, ahead);
    maxsim_block<V, CB, NV, T>(qt, stride, dim, rows, scratch, j0, mx, ahead);
}

// Query rows j0 .. j0 + NV * LANES - 1 over all document rows, in blocks of
// CB rows. A block's rows are independent chains of additions, and a block of
// a few rows waits on their latency: so rows left over after whole blocks
// are not scored alone but share the last two blocks, split evenly.
template <class V, std::size_t CB, std::size_t NV, class T>
void maxsim_strip(const float* qt, std::size_t stride, std::size_t dim, const T* rows, std::size_t n_rows,
                  float* scratch, std::size_t j0, float* maxima, Lookahead& ahead) {
    typename V::F mx[NV];
    for (std::size_t v = 0; v < NV; ++v) mx[v] = V::set1(-std::numeric_limits<float>::infinity());
    const std::size_t whole = n_rows % CB != 0 && n_rows > CB ? n_rows / CB - 1 : n_rows / CB;
    std::size_t r = 0;
    for (std::size_t b = 0; b < whole; ++b, r += CB)
        maxsim_block<V, CB, NV, T>(qt, stride, dim, rows + r * dim, scratch, j0, mx, ahead);
    const std::size_t left = n_rows - r;  // 0, fewer than CB, or CB + the rest, split in two
    const std::size_t first = left > CB ? (left + 1) / 2 : left;
    if (first != 0)
        maxsim_block_of<V, CB, NV, T>(first, qt, stride, dim, rows + r * dim, scratch, j0, mx, ahead);
    if (left > first)
        maxsim_block_of<V, CB, NV, T>(left - first, qt, stride, dim, rows + (r + first) * dim, scratch, j0,
                                      mx, ahead);
    for (std::size_t v = 0; v < NV; ++v) V::storeu(maxima + j0 + v * V::LANES, mx[v]);
}

// The kernel: query rows 0 .. q - 1 rounded up to whole vectors (within the
// stride's zero padding), in strips of NV vectors; what is left in strips of
// two vectors with blocks of CB * NV / 2 rows, then single vectors with
// blocks of 2 * CB rows (as many sums in registers as a full strip, or half).
template <class V, std::size_t CB, std::size_t NV, class T>
void maxsim_rows(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const T* rows,
                 std::size_t n_rows, float* maxima, Lookahead& ahead) {
    static_assert(NV == 2 || NV == 4, "strips of two or four vectors");
    constexpr std::size_t L = V::LANES, CB2 = CB * NV / 2;
    const std::size_t lanes = (q + L - 1) / L * L;
    // The widened rows of the largest block (whole slots), per thread.
    thread_local std::vector<float> scratch;
    const std::size_t slots = (dim + Lookahead::SLOT - 1) / Lookahead::SLOT;
    constexpr std::size_t MOST = CB2 > 2 * CB ? CB2 : 2 * CB;
    if constexpr (std::is_same_v<T, uint16_t>)
        if (scratch.size() < MOST * slots * Lookahead::SLOT) scratch.resize(MOST * slots * Lookahead::SLOT);
    // Fetches: one per slot of dimensions of every block of the first strip.
    const std::size_t block = lanes >= NV * L ? CB : lanes >= 2 * L ? CB2 : 2 * CB;
    ahead.pace(std::max<std::size_t>(1, (n_rows + block - 1) / block) * slots);
    std::size_t j0 = 0;
    for (; j0 + NV * L <= lanes; j0 += NV * L)
        maxsim_strip<V, CB, NV, T>(qt, stride, dim, rows, n_rows, scratch.data(), j0, maxima, ahead);
    if constexpr (NV > 2)
        for (; j0 + 2 * L <= lanes; j0 += 2 * L)
            maxsim_strip<V, CB2, 2, T>(qt, stride, dim, rows, n_rows, scratch.data(), j0, maxima, ahead);
    for (; j0 < lanes; j0 += L)
        maxsim_strip<V, 2 * CB, 1, T>(qt, stride, dim, rows, n_rows, scratch.data(), j0, maxima, ahead);
}

// The kernel over a store's rows of either type (float16 rows in blocks of
// CB_HALF rows).
template <class V, std::size_t CB, std::size_t NV, std::size_t CB_HALF = CB>
void maxsim_rows_of(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const void* rows,
                    RowType type, std::size_t n_rows, float* maxima, Lookahead& ahead) {
    if (type == RowType::Float16)
        maxsim_rows<V, CB_HALF, NV>(qt, stride, q, dim, static_cast<const uint16_t*>(rows), n_rows, maxima,
                                    ahead);
    else
        maxsim_rows<V, CB, NV>(qt, stride, q, dim, static_cast<const float*>(rows), n_rows, maxima, ahead);
}

}  // namespace
}  // namespace qor
