// Vector operation tables for the instruction-set kernel files, under the
// names the shared kernel bodies use: Avx2 (256-bit) when the including file
// is compiled with AVX2 enabled, Avx512 (512-bit) when compiled with AVX-512
// F, BW, DQ and VL. Include only from such a file. Everything here has
// internal linkage, so no copy compiled with these instruction-set flags can
// be picked by the linker for portable code.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// The operations whose intrinsics differ only in their register width
// (_mm256_add_ps, _mm512_add_ps, ...), written once; expands inside a table
// whose F and I types are the registers.
#define QOR_SIMD_WIDTH_OPS(W)                                       \
    static F set1(float x) {                                        \
        return _mm##W##_set1_ps(x);                                 \
    }                                                               \
    static F load(const float* p) {                                 \
        return _mm##W##_load_ps(p);                                 \
    }                                                               \
    static F loadu(const float* p) {                                \
        return _mm##W##_loadu_ps(p);                                \
    }                                                               \
    static void store(float* p, F v) {                              \
        _mm##W##_store_ps(p, v);                                    \
    }                                                               \
    static void storeu(float* p, F v) {                             \
        _mm##W##_storeu_ps(p, v);                                   \
    }                                                               \
    static F add(F a, F b) {                                        \
        return _mm##W##_add_ps(a, b);                               \
    }                                                               \
    static F sub(F a, F b) {                                        \
        return _mm##W##_sub_ps(a, b);                               \
    }                                                               \
    static F mul(F a, F b) {                                        \
        return _mm##W##_mul_ps(a, b);                               \
    }                                                               \
    static F zero() {                                               \
        return _mm##W##_setzero_ps();                               \
    }                                                               \
    static I set1_i(int x) {                                        \
        return _mm##W##_set1_epi32(x);                              \
    }                                                               \
    static I add_i(I a, I b) {                                      \
        return _mm##W##_add_epi32(a, b);                            \
    }                                                               \
    static I loadu_i(const int32_t* p) {                            \
        return _mm##W##_loadu_si##W(reinterpret_cast<const I*>(p)); \
    }                                                               \
    static void storeu_i(int32_t* p, I v) {                         \
        _mm##W##_storeu_si##W(reinterpret_cast<I*>(p), v);          \
    }

namespace qor {
namespace {

#if defined(__AVX2__)
struct Avx2 {
    static constexpr std::size_t LANES = 8;
    static constexpr std::size_t ALIGN = 32;
    using F = __m256;
    using I = __m256i;
    using Mask = __m256;  // all-ones lanes where a comparison held

    QOR_SIMD_WIDTH_OPS(256)
    // acc unless x > acc: NaN never wins.
    static F max_keep(F x, F acc) { return _mm256_max_ps(x, acc); }
    static Mask less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static Mask equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
    // b in the lanes where m holds, a elsewhere.
    static F select(Mask m, F a, F b) { return _mm256_blendv_ps(a, b, m); }
    static I select(Mask m, I a, I b) {
        return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), m));
    }
    static I zero_i() { return _mm256_setzero_si256(); }
    static I max_i(I a, I b) { return _mm256_max_epi32(a, b); }
    static I iota() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
    static void store_i(uint32_t* p, I v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }
};
#endif

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512DQ__) && defined(__AVX512VL__)
struct Avx512 {
    static constexpr std::size_t LANES = 16;
    static constexpr std::size_t ALIGN = 64;
    using F = __m512;
    using I = __m512i;
    using Mask = __mmask16;

    QOR_SIMD_WIDTH_OPS(512)
    // acc unless x > acc: NaN never wins. (The all-lanes masked form
    // sidesteps a false uninitialised-value warning of GCC 12 on the
    // unmasked intrinsic.)
    static F max_keep(F x, F acc) { return _mm512_mask_max_ps(acc, static_cast<__mmask16>(0xFFFF), x, acc); }
    static Mask less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static Mask equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
    // b in the lanes where m holds, a elsewhere.
    static F select(Mask m, F a, F b) { return _mm512_mask_mov_ps(a, m, b); }
    static I select(Mask m, I a, I b) { return _mm512_mask_mov_epi32(a, m, b); }
    static I zero_i() { return _mm512_setzero_si512(); }
    // (Masked for the same reason as max_keep.)
    static I max_i(I a, I b) { return _mm512_mask_max_epi32(a, static_cast<__mmask16>(0xFFFF), a, b); }
    static I iota() { return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
    static void store_i(uint32_t* p, I v) { _mm512_store_si512(reinterpret_cast<__m512i*>(p), v); }
};
#endif

}  // namespace
}  // namespace qor
