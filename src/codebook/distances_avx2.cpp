// AVX2 distance kernel: one row against 32 lanes per step (four registers
// of 8, so four independent sums hide the add latency), then 8 at a time.
// Every lane performs the scalar sequence (sub, mul, add, each rounded,
// dimensions in increasing order, sums from -0.0); FMA is disabled for this
// file.
#include <immintrin.h>

#include "codebook/distances.hpp"

namespace qor {

void distance_lanes_avx2(const float* row, std::size_t d, const float* ct, std::size_t stride, std::size_t begin,
                         std::size_t end, float* out) {
    constexpr std::size_t W = 8;
    std::size_t p = begin;
    for (; p + 4 * W <= end; p += 4 * W) {
        __m256 acc[4];
        for (auto& a : acc) a = _mm256_set1_ps(-0.0f);
        const float* col = ct + p;
        for (std::size_t j = 0; j < d; ++j) {
            const __m256 x = _mm256_broadcast_ss(row + j);
#pragma GCC unroll 4
            for (std::size_t r = 0; r < 4; ++r) {
                const __m256 diff = _mm256_sub_ps(x, _mm256_load_ps(col + j * stride + r * W));
                acc[r] = _mm256_add_ps(acc[r], _mm256_mul_ps(diff, diff));
            }
        }
        for (std::size_t r = 0; r < 4; ++r) _mm256_storeu_ps(out + (p - begin) + r * W, acc[r]);
    }
    for (; p < end; p += W) {
        __m256 acc = _mm256_set1_ps(-0.0f);
        for (std::size_t j = 0; j < d; ++j) {
            const __m256 diff = _mm256_sub_ps(_mm256_broadcast_ss(row + j), _mm256_load_ps(ct + j * stride + p));
            acc = _mm256_add_ps(acc, _mm256_mul_ps(diff, diff));
        }
        _mm256_storeu_ps(out + (p - begin), acc);
    }
}

}  // namespace qor
