// AVX-512 MaxSim kernel. A query of more than 8 rows takes 512-bit vectors
// of 16 query rows, in blocks of 6 document rows x two vectors. One of at
// most 8 rows runs the AVX2 kernel: a half-empty 512-bit vector does the
// same work no faster; two document rows interleaved into one 512-bit vector
// (the query's values doubled, so that a pair is one broadcast load)
// measured no faster either, and the same 256-bit code compiled here ran
// about 7% slower than the AVX2 file's. Also the float16 widening. FMA is
// disabled for this file.
#include "common/simd_x86.hpp"
#include "rerank/maxsim.hpp"
#include "rerank/maxsim_kernel.inl"

namespace qor {

void maxsim_rows_avx512(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                        const float* rows, std::size_t n_rows, float* maxima, Lookahead& ahead) {
    if (q <= 8)
        maxsim_rows_avx2(qt, stride, q, dim, rows, n_rows, maxima, ahead);
    else
        maxsim_rows<Avx512, 6, 2>(qt, stride, q, dim, rows, n_rows, maxima, ahead);
}

void widen_half_avx512(const uint16_t* src, std::size_t n, float* dst) {
    // (The all-lanes masked conversion sidesteps a false uninitialised-value
    // warning of GCC 12 on the unmasked intrinsic.)
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __builtin_prefetch(src + i + 512);  // the store streams from memory: 1 KiB ahead
        _mm512_storeu_ps(dst + i,
                         _mm512_mask_cvtph_ps(_mm512_setzero_ps(), static_cast<__mmask16>(0xFFFF),
                                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i))));
    }
    for (; i < n; ++i) dst[i] = half_to_float(src[i]);
}

}  // namespace qor
