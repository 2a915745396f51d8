// AVX2 nearest-centroid kernel: 8 centroids per register, blocks of 4 rows x
// 16 centroids (8 accumulators fit the 16 registers with the centroid loads
// and temporaries). Every lane performs the scalar sequence (sub, mul, add,
// each rounded, dimensions in increasing order, sums from -0.0); FMA is
// disabled for this file.
#include <immintrin.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "codebook/kmeans.hpp"
#include "codebook/nearest.hpp"

namespace qor {

namespace {

constexpr std::size_t ROWS = 4;
constexpr std::size_t LANES = 8;

// The scalar rule over per-lane winners: smallest value below NEAREST_START,
// ties to the lower centroid index; 0 when no lane found one. Kept local to
// this file (like everything here) so no copy compiled for this instruction
// set can be shared with portable code.
inline uint32_t reduce_lanes(const float* value, const uint32_t* index, std::size_t lanes) {
    float best = NEAREST_START;
    uint32_t best_index = 0;
    for (std::size_t l = 0; l < lanes; ++l) {
        const float v = value[l];
        if (v < best || (v == best && v < NEAREST_START && index[l] < best_index)) {
            best = v;
            best_index = index[l];
        }
    }
    return best_index;
}

void row_block(const float* x, std::size_t d, const float* ct, std::size_t kpad, uint32_t* out,
               std::size_t valid) {
    __m256 best[ROWS][2];
    __m256i best_idx[ROWS][2];
    for (std::size_t r = 0; r < ROWS; ++r)
        for (int h = 0; h < 2; ++h) {
            best[r][h] = _mm256_set1_ps(NEAREST_START);
            best_idx[r][h] = _mm256_setzero_si256();
        }
    const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (std::size_t cb = 0; cb < kpad; cb += 2 * LANES) {
        __m256 acc[ROWS][2];
#pragma GCC unroll 4
        for (std::size_t r = 0; r < ROWS; ++r) {
            acc[r][0] = _mm256_set1_ps(-0.0f);
            acc[r][1] = _mm256_set1_ps(-0.0f);
        }
        const float* col = ct + cb;
        for (std::size_t j = 0; j < d; ++j) {
            const __m256 c0 = _mm256_load_ps(col + j * kpad);
            const __m256 c1 = _mm256_load_ps(col + j * kpad + LANES);
#pragma GCC unroll 4
            for (std::size_t r = 0; r < ROWS; ++r) {
                const __m256 xb = _mm256_broadcast_ss(x + r * d + j);
                const __m256 d0 = _mm256_sub_ps(xb, c0);
                const __m256 d1 = _mm256_sub_ps(xb, c1);
                acc[r][0] = _mm256_add_ps(acc[r][0], _mm256_mul_ps(d0, d0));
                acc[r][1] = _mm256_add_ps(acc[r][1], _mm256_mul_ps(d1, d1));
            }
        }
        const __m256i i0 = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(cb)), iota);
        const __m256i i1 = _mm256_add_epi32(i0, _mm256_set1_epi32(static_cast<int>(LANES)));
#pragma GCC unroll 4
        for (std::size_t r = 0; r < ROWS; ++r) {
            // Strictly smaller only: a lane keeps the first index of its minimum.
            const __m256 m0 = _mm256_cmp_ps(acc[r][0], best[r][0], _CMP_LT_OQ);
            const __m256 m1 = _mm256_cmp_ps(acc[r][1], best[r][1], _CMP_LT_OQ);
            best[r][0] = _mm256_blendv_ps(best[r][0], acc[r][0], m0);
            best[r][1] = _mm256_blendv_ps(best[r][1], acc[r][1], m1);
            best_idx[r][0] = _mm256_castps_si256(
                _mm256_blendv_ps(_mm256_castsi256_ps(best_idx[r][0]), _mm256_castsi256_ps(i0), m0));
            best_idx[r][1] = _mm256_castps_si256(
                _mm256_blendv_ps(_mm256_castsi256_ps(best_idx[r][1]), _mm256_castsi256_ps(i1), m1));
        }
    }
    alignas(32) float v[2 * LANES];
    alignas(32) uint32_t ix[2 * LANES];
    for (std::size_t r = 0; r < valid; ++r) {
        _mm256_store_ps(v, best[r][0]);
        _mm256_store_ps(v + LANES, best[r][1]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(ix), best_idx[r][0]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(ix + LANES), best_idx[r][1]);
        out[r] = reduce_lanes(v, ix, 2 * LANES);
    }
}

}  // namespace

void nearest_centroid_avx2(const float* rows, std::size_t n, std::size_t d, const float* ct,
                           std::size_t /*k*/, std::size_t kpad, uint32_t* out) {
    const std::size_t full = n / ROWS * ROWS;
    for (std::size_t i = 0; i < full; i += ROWS) row_block(rows + i * d, d, ct, kpad, out + i, ROWS);
    if (full < n) {
        // Last partial block: copy into a zero-padded block; the padding rows'
        // results are computed and dropped. malloc rather than a standard
        // container: no template code is instantiated under this file's
        // instruction-set flags, where the linker could share it with
        // portable code.
        const std::size_t bytes = ROWS * d * sizeof(float);
        auto* tail = static_cast<float*>(std::malloc(bytes));
        if (tail == nullptr) throw std::bad_alloc();
        std::memset(tail, 0, bytes);
        std::memcpy(tail, rows + full * d, (n - full) * d * sizeof(float));
        row_block(tail, d, ct, kpad, out + full, n - full);
        std::free(tail);
    }
}

}  // namespace qor
