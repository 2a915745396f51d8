// 512-bit float vector operations for the AVX-512 kernel files, under the
// names the shared kernel bodies use. Include only from a file compiled with
// AVX-512 (F, BW, DQ, VL) enabled. Everything here has internal linkage, so
// no copy compiled with these instruction-set flags can be picked by the
// linker for portable code.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace qor {
namespace {

struct Avx512 {
    static constexpr std::size_t LANES = 16;
    static constexpr std::size_t ALIGN = 64;
    using F = __m512;
    using I = __m512i;
    using Mask = __mmask16;

    static F set1(float x) { return _mm512_set1_ps(x); }
    static F load(const float* p) { return _mm512_load_ps(p); }
    static F loadu(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, F v) { _mm512_store_ps(p, v); }
    static void storeu(float* p, F v) { _mm512_storeu_ps(p, v); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    // acc unless x > acc: NaN never wins. (The all-lanes masked form
    // sidesteps a false uninitialised-value warning of GCC 12 on the
    // unmasked intrinsic.)
    static F max_keep(F x, F acc) { return _mm512_mask_max_ps(acc, static_cast<__mmask16>(0xFFFF), x, acc); }
    static Mask less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static Mask equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
    // b in the lanes where m holds, a elsewhere.
    static F select(Mask m, F a, F b) { return _mm512_mask_mov_ps(a, m, b); }
    static I select(Mask m, I a, I b) { return _mm512_mask_mov_epi32(a, m, b); }
    static F zero() { return _mm512_setzero_ps(); }
    static I zero_i() { return _mm512_setzero_si512(); }
    static I set1_i(int x) { return _mm512_set1_epi32(x); }
    static I add_i(I a, I b) { return _mm512_add_epi32(a, b); }
    static I iota() { return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
    static void store_i(uint32_t* p, I v) { _mm512_store_si512(reinterpret_cast<__m512i*>(p), v); }
};

}  // namespace
}  // namespace qor
