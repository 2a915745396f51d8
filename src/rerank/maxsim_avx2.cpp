// AVX2 MaxSim kernel: 8 query rows per register, blocks of 5 document rows x
// 16 query rows (10 accumulators beside the two running maxima, the query
// loads and the broadcast, within 16 registers); also the float16 widening
// with F16C. FMA is disabled for this file.
#include "common/simd_x86.hpp"
#include "rerank/maxsim.hpp"
#include "rerank/maxsim_kernel.inl"

namespace qor {

void maxsim_rows_avx2(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const float* rows,
                      std::size_t n_rows, float* maxima, Lookahead& ahead) {
    maxsim_rows<Avx2, 5, 2>(qt, stride, q, dim, rows, n_rows, maxima, ahead);
}

}  // namespace qor

namespace qor {

// F16C is not part of the AVX2 feature test: the caller checks it before
// picking this variant, and only this function is compiled for it.
__attribute__((target("avx2,f16c"))) void widen_half_avx2(const uint16_t* src, std::size_t n, float* dst) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __builtin_prefetch(src + i + 512);  // the store streams from memory: 1 KiB ahead
        _mm256_storeu_ps(dst + i,
                         _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i))));
    }
    for (; i < n; ++i) dst[i] = half_to_float(src[i]);
}

}  // namespace qor
