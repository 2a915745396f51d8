// AVX-512 distance kernel: blocks of 8 rows x 32 centroids, 16 centroids per
// register. Every lane performs the scalar sequence (sub, mul, add, each
// rounded, dimensions in increasing order, sums from -0.0); FMA is disabled
// for this file.
#include <immintrin.h>

#include "codebook/distances.hpp"

namespace qor {

namespace {

constexpr std::size_t ROWS = 8;
constexpr std::size_t LANES = 16;

// Rows past `valid` repeat row 0 and are not stored.
void row_block(const float* x, std::size_t d, const float* ct, std::size_t kpad, float* out, std::size_t valid) {
    const float* row[ROWS];
    for (std::size_t r = 0; r < ROWS; ++r) row[r] = x + (r < valid ? r : 0) * d;
    for (std::size_t cb = 0; cb < kpad; cb += 2 * LANES) {
        __m512 acc[ROWS][2];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < ROWS; ++r) {
            acc[r][0] = _mm512_set1_ps(-0.0f);
            acc[r][1] = _mm512_set1_ps(-0.0f);
        }
        const float* col = ct + cb;
        for (std::size_t j = 0; j < d; ++j) {
            const __m512 c0 = _mm512_load_ps(col + j * kpad);
            const __m512 c1 = _mm512_load_ps(col + j * kpad + LANES);
#pragma GCC unroll 8
            for (std::size_t r = 0; r < ROWS; ++r) {
                const __m512 xb = _mm512_set1_ps(*(row[r] + j));
                const __m512 d0 = _mm512_sub_ps(xb, c0);
                const __m512 d1 = _mm512_sub_ps(xb, c1);
                acc[r][0] = _mm512_add_ps(acc[r][0], _mm512_mul_ps(d0, d0));
                acc[r][1] = _mm512_add_ps(acc[r][1], _mm512_mul_ps(d1, d1));
            }
        }
        for (std::size_t r = 0; r < valid; ++r) {
            _mm512_storeu_ps(out + r * kpad + cb, acc[r][0]);
            _mm512_storeu_ps(out + r * kpad + cb + LANES, acc[r][1]);
        }
    }
}

}  // namespace

void distance_rows_avx512(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t kpad,
                        float* out) {
    for (std::size_t i = 0; i < n; i += ROWS)
        row_block(rows + i * d, d, ct, kpad, out + i * kpad, n - i < ROWS ? n - i : ROWS);
}

}  // namespace qor
