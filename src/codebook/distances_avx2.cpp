// AVX2 distance kernel: blocks of 4 rows x 16 centroids, 8 centroids per
// register. Every lane performs the scalar sequence (sub, mul, add, each
// rounded, dimensions in increasing order, sums from -0.0); FMA is disabled
// for this file.
#include <immintrin.h>

#include "codebook/distances.hpp"

namespace qor {

namespace {

constexpr std::size_t ROWS = 4;
constexpr std::size_t LANES = 8;

// Rows past `valid` repeat row 0 and are not stored.
void row_block(const float* x, std::size_t d, const float* ct, std::size_t kpad, float* out, std::size_t valid) {
    const float* row[ROWS];
    for (std::size_t r = 0; r < ROWS; ++r) row[r] = x + (r < valid ? r : 0) * d;
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
                const __m256 xb = _mm256_broadcast_ss(row[r] + j);
                const __m256 d0 = _mm256_sub_ps(xb, c0);
                const __m256 d1 = _mm256_sub_ps(xb, c1);
                acc[r][0] = _mm256_add_ps(acc[r][0], _mm256_mul_ps(d0, d0));
                acc[r][1] = _mm256_add_ps(acc[r][1], _mm256_mul_ps(d1, d1));
            }
        }
        for (std::size_t r = 0; r < valid; ++r) {
            _mm256_storeu_ps(out + r * kpad + cb, acc[r][0]);
            _mm256_storeu_ps(out + r * kpad + cb + LANES, acc[r][1]);
        }
    }
}

}  // namespace

void distance_rows_avx2(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t kpad,
                        float* out) {
    for (std::size_t i = 0; i < n; i += ROWS)
        row_block(rows + i * d, d, ct, kpad, out + i * kpad, n - i < ROWS ? n - i : ROWS);
}

}  // namespace qor
