// AVX2 distance kernel: blocks of 4 rows x 16 lanes (two registers of 8),
// so each centroid load serves 4 rows; more rows run as further blocks.
// Every lane performs the scalar sequence (sub, mul, add, each rounded,
// dimensions in increasing order, sums from -0.0); FMA is disabled for this
// file.
#include <immintrin.h>

#include "codebook/distances.hpp"

namespace qor {

namespace {

constexpr std::size_t MAX_ROWS = 4;
constexpr std::size_t W = 8;

// A block of ROWS rows (a full block, or the smallest that holds the last
// rows); rows past `valid` repeat row 0 and are not stored.
template <std::size_t ROWS>
void block(const float* const* rows, std::size_t valid, std::size_t d, const float* ct, std::size_t stride,
           std::size_t begin, std::size_t end, float* out) {
    const float* row[ROWS];
    for (std::size_t r = 0; r < ROWS; ++r) row[r] = rows[r < valid ? r : 0];
    const std::size_t span = end - begin;
    for (std::size_t p = begin; p < end; p += 2 * W) {
        __m256 acc[ROWS][2];
#pragma GCC unroll 4
        for (std::size_t r = 0; r < ROWS; ++r) {
            acc[r][0] = _mm256_set1_ps(-0.0f);
            acc[r][1] = _mm256_set1_ps(-0.0f);
        }
        const float* col = ct + p;
        for (std::size_t j = 0; j < d; ++j) {
            const __m256 c0 = _mm256_load_ps(col + j * stride);
            const __m256 c1 = _mm256_load_ps(col + j * stride + W);
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
            _mm256_storeu_ps(out + r * span + (p - begin), acc[r][0]);
            _mm256_storeu_ps(out + r * span + (p - begin) + W, acc[r][1]);
        }
    }
}

}  // namespace

void distance_block_avx2(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct,
                         std::size_t stride, std::size_t begin, std::size_t end, float* out) {
    for (std::size_t r0 = 0; r0 < n_rows; r0 += MAX_ROWS) {
        const std::size_t valid = n_rows - r0 < MAX_ROWS ? n_rows - r0 : MAX_ROWS;
        float* o = out + r0 * (end - begin);
        if (valid > MAX_ROWS / 2)
            block<MAX_ROWS>(rows + r0, valid, d, ct, stride, begin, end, o);
        else if (valid > MAX_ROWS / 4)
            block<MAX_ROWS / 2>(rows + r0, valid, d, ct, stride, begin, end, o);
        else if (valid > 1)
            block<MAX_ROWS / 4>(rows + r0, valid, d, ct, stride, begin, end, o);
        else
            block<1>(rows + r0, valid, d, ct, stride, begin, end, o);
    }
}

}  // namespace qor
