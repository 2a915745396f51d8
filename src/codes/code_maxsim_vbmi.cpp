// AVX-512 byte-lookup code-MaxSim kernel (VBMI and VNNI): sixteen vectors
// in the lanes of a register. For four groups at a time (two code bytes of
// each vector) one byte permute reads the 64-byte table of one query row at
// every vector's four group values, and one four-byte dot product with ones
// adds those four entries into the vector's int32 sum. The centroid term
// starts each sum, gathered from K. Whole numbers, so the result equals the
// scalar kernel's whatever the order of additions. FMA is disabled for this
// file.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <utility>

#include "codes/code_maxsim.hpp"

// GCC 12 warns that the unmasked AVX-512 intrinsics read an uninitialised
// register (their undefined pass-through operand); nothing here does.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace qor {

namespace {

constexpr std::size_t STRIP = 8;  // query rows sharing one reading of the codes

// Byte b of every 64-bit word (two vectors' code words, one per 32-bit
// half) picks the 8 bits from (b / 4) * 32 + half * 16 + (b % 4) * 4: group
// b % 4 of the vector's chunk `half` of that code word, in its low 4 bits.
__m512i nibble_offsets(int half) {
    alignas(64) std::array<uint8_t, 64> ctl{};
    for (int b = 0; b < 64; ++b) {
        const int in_word = b % 8;
        ctl[static_cast<std::size_t>(b)] =
            static_cast<uint8_t>((in_word / 4) * 32 + half * 16 + (in_word % 4) * 4);
    }
    return _mm512_load_si512(ctl.data());
}

// (b % 4) * 16 at byte b: the table row of group b % 4 of a chunk.
__m512i group_rows() {
    alignas(64) std::array<uint8_t, 64> rows{};
    for (std::size_t b = 0; b < 64; ++b) rows[b] = static_cast<uint8_t>((b % 4) * 16);
    return _mm512_load_si512(rows.data());
}

template <std::size_t R>
void strip(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
           std::size_t j0, int32_t* maxima) {
    const __m512i lo_ctl = nibble_offsets(0), hi_ctl = nibble_offsets(1), rows = group_rows();
    const __m512i nibble = _mm512_set1_epi8(0x0F), ones = _mm512_set1_epi8(1);
    const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i row_offsets = _mm512_mullo_epi32(lanes, _mm512_set1_epi32(static_cast<int>(t.code_bytes)));
    const __m512i limit = _mm512_set1_epi32(static_cast<int>(t.n_fine));
    const __m512i stride = _mm512_set1_epi32(static_cast<int>(t.c_stride));
    const std::size_t words = t.code_bytes / 4, chunk_bytes = t.chunks * 64;
    const uint8_t* table = t.bytes.data() + j0 * chunk_bytes;
    __m512i mx[R];
    for (std::size_t r = 0; r < R; ++r) mx[r] = _mm512_set1_epi32(std::numeric_limits<int32_t>::min());

    for (std::size_t i0 = 0; i0 < n; i0 += 16) {
        const __mmask16 m =
            n - i0 >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << (n - i0)) - 1);
        const __m512i codes = _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(m, fine + i0));
        const __m512i at = _mm512_mullo_epi32(_mm512_min_epu32(codes, limit), stride);
        __m512i acc[R];
        for (std::size_t r = 0; r < R; ++r)
            acc[r] = _mm512_mask_i32gather_epi32(
                _mm512_setzero_si512(), m, _mm512_add_epi32(at, _mm512_set1_epi32(static_cast<int>(j0 + r))),
                t.centroid.data(), 4);
        const uint8_t* base = residual + i0 * t.code_bytes;
        for (std::size_t w = 0; w < words; ++w) {
            const __m512i word =
                _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), m, row_offsets, base + 4 * w, 1);
            // (selected bits & 0x0F) | row of the group: the table byte of each lookup.
            const __m512i lo =
                _mm512_ternarylogic_epi32(_mm512_multishift_epi64_epi8(lo_ctl, word), nibble, rows, 0xEA);
            const __m512i hi =
                _mm512_ternarylogic_epi32(_mm512_multishift_epi64_epi8(hi_ctl, word), nibble, rows, 0xEA);
            const uint8_t* tw = table + 2 * w * 64;
#pragma GCC unroll 8
            for (std::size_t r = 0; r < R; ++r) {
                const uint8_t* tr = tw + r * chunk_bytes;
                acc[r] =
                    _mm512_dpbusd_epi32(acc[r], _mm512_permutexvar_epi8(lo, _mm512_loadu_si512(tr)), ones);
                acc[r] = _mm512_dpbusd_epi32(acc[r], _mm512_permutexvar_epi8(hi, _mm512_loadu_si512(tr + 64)),
                                             ones);
            }
        }
        for (std::size_t r = 0; r < R; ++r) mx[r] = _mm512_mask_max_epi32(mx[r], m, mx[r], acc[r]);
    }
    for (std::size_t r = 0; r < R; ++r) maxima[j0 + r] = _mm512_reduce_max_epi32(mx[r]);
}

template <std::size_t... R>
void strip_of(std::size_t rows, std::index_sequence<R...>, const CodeQueryTables& t, const uint16_t* fine,
              const uint8_t* residual, std::size_t n, std::size_t j0, int32_t* maxima) {
    ((rows == R + 1 ? strip<R + 1>(t, fine, residual, n, j0, maxima) : void()), ...);
}

}  // namespace

void code_maxsim_vbmi(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
                      int32_t* maxima) {
    // Gathers address the tables with int32 offsets and read whole 4-byte
    // code words.
    const bool fits =
        (t.n_fine + 1) * t.c_stride < (uint64_t{1} << 31) && t.code_bytes * 16 < (uint64_t{1} << 31);
    if (t.code_bytes % 4 != 0 || !fits) {
        code_maxsim_avx512(t, fine, residual, n, maxima);
        return;
    }
    for (std::size_t j0 = 0; j0 < t.q; j0 += STRIP)
        strip_of(std::min(STRIP, t.q - j0), std::make_index_sequence<STRIP>{}, t, fine, residual, n, j0,
                 maxima);
}

}  // namespace qor
