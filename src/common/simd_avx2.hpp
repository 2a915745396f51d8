// 256-bit float vector operations for the AVX2 kernel files, under the names
// the shared kernel bodies use. Include only from a file compiled with AVX2
// enabled. Everything here has internal linkage, so no copy compiled with
// these instruction-set flags can be picked by the linker for portable code.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace qor {
namespace {

struct Avx2 {
    static constexpr std::size_t LANES = 8;
    static constexpr std::size_t ALIGN = 32;
    using F = __m256;
    using I = __m256i;
    using Mask = __m256;  // all-ones lanes where a comparison held

    static F set1(float x) { return _mm256_set1_ps(x); }
    static F load(const float* p) { return _mm256_load_ps(p); }
    static F loadu(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) { _mm256_store_ps(p, v); }
    static void storeu(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    // acc unless x > acc: NaN never wins.
    static F max_keep(F x, F acc) { return _mm256_max_ps(x, acc); }
    static Mask less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static Mask equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
    // b in the lanes where m holds, a elsewhere.
    static F select(Mask m, F a, F b) { return _mm256_blendv_ps(a, b, m); }
    static I select(Mask m, I a, I b) {
        return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), m));
    }
    static F zero() { return _mm256_setzero_ps(); }
    static I zero_i() { return _mm256_setzero_si256(); }
    static I set1_i(int x) { return _mm256_set1_epi32(x); }
    static I add_i(I a, I b) { return _mm256_add_epi32(a, b); }
    static I iota() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
    static void store_i(uint32_t* p, I v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }
};

}  // namespace
}  // namespace qor
