// Approximate MaxSim scored directly on residual codes (see
// residual_codes.hpp), never decompressing a document into float rows.
//
// For a query with rows q_0 .. q_{m-1}, float32 values, each product, sum
// and quotient rounded separately (no fused multiply-add):
//   C[j][c]    = dot(q_j, centroid_c): +0, then + q_j[p] * centroid_c[p] for
//                p = 0 .. dim - 1 in increasing order (the router's
//                similarity product);
//   T[j][g][v] = +0, then + q_j[p] * level[p][bucket of p in group value v]
//                for the dimensions p of residual group g in increasing
//                order (a group is 4 bits of the packed code: 4 / bits
//                dimensions; the last may hold fewer).
// Each query row then gets one scale and whole-number tables, so that a
// vector's score is a sum of small integers (exact in any order, which lets
// a kernel add them across many vectors at once):
//   lo[j][g]   = the least T[j][g][v] over v;
//   span_j     = the largest T[j][g][v] - lo[j][g] over g and v;
//   top_j      = the largest |C[j][c]| over c < n_fine;
//   delta_j    = max(span_j / 255, top_j / 2^22), or 1 when that is 0;
//   U[j][g][v] = min(255, round(( T[j][g][v] - lo[j][g]) / delta_j));
//   K[j][c]    = round(C[j][c] / delta_j)          (round: half to even);
//   B_j        = lo[j][0], then + lo[j][g] for g = 1 .. groups - 1;
//   S(j, x)    = K[j][code_x] + the sum over g of U[j][g][group g of x];
//   M_j        = the largest S(j, x) over the document's vectors whose code
//                is below n_fine (a code at or above it never wins);
//   m_j        = float(M_j) * delta_j, then + B_j; -inf when the document
//                has no such vector; NaN when a C or T of row j, or delta_j,
//                is not finite (values near float32's limit);
//   score      = m_0, then score + m_j for j = 1 .. m - 1; 0 for a query
//                without rows.
// C, T and the integer tables are built once per query; each candidate
// vector then costs one K entry and one U entry per residual group. The
// rounding of K and U moves m_j by at most (groups + 1) * delta_j / 2 (a small
// fraction of the residuals' own quantisation error). Every kernel variant
// and every pool size gives these bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "codes/residual_codes.hpp"
#include "parallel/cpu_features.hpp"
#include "parallel/thread_pool.hpp"

namespace qor {

// Residual bits per lookup-table group: each group is 4 bits of the packed
// code (one byte holds groups 2g and 2g + 1, low half first), so a table has
// 16 rows and the tables of a query stay in the first-level cache.
inline constexpr std::size_t CODE_GROUP_BITS = 4;
inline constexpr std::size_t CODE_GROUP_VALUES = std::size_t{1} << CODE_GROUP_BITS;

// The value of group g of a packed code.
inline uint32_t code_group(const uint8_t* bytes, std::size_t g) {
    return (bytes[g / 2] >> ((g % 2) * 4)) & 0xFu;
}

// Query-row lanes of a lookup table row: its stride is q rounded up to this.
inline constexpr std::size_t CODE_TABLE_LANES = 8;

// K for a code at or above n_fine: far enough below every reachable S that
// a sum holding it is recognised after the maximum.
inline constexpr int32_t CODE_INVALID = -(int32_t{1} << 30);
// M_j below this means the document had no vector with a valid code.
inline constexpr int32_t CODE_NO_VECTOR = -(int32_t{1} << 29);

// The per-query tables. The integer ones come in two layouts:
//   centroid  (n_fine + 1) x c_stride int32: K[j][c] at c * c_stride + j,
//             row n_fine all CODE_INVALID, lanes >= q zero
//   table     groups x 16 x t_stride int32: U[j][g][v] at
//             (g * 16 + v) * t_stride + j (query rows innermost, for the
//             kernels that add one table row of many query rows at once)
//   bytes     q x chunks x 64 uint8: U[j][g][v] at (j * chunks + g / 4) * 64
//             + (g % 4) * 16 + v, zero beyond the last group (four groups,
//             two code bytes, per 64-byte chunk: the byte-lookup kernel's
//             layout, vectors in lanes)
// and per query row delta_j, B_j and whether the row is unordered (NaN).
struct CodeQueryTables {
    std::vector<int32_t> centroid;
    std::size_t c_stride = 0;
    std::vector<int32_t> table;
    std::size_t t_stride = 0;
    std::vector<uint8_t> bytes;
    std::size_t chunks = 0;
    std::vector<float> delta;
    std::vector<float> bias;
    std::vector<uint8_t> unordered;
    std::size_t groups = 0;      // 4-bit groups per code
    std::size_t code_bytes = 0;  // bytes per code
    std::size_t q = 0;
    uint64_t n_fine = 0;
};

// Builds the tables for the q x dim row-major `query`. `similarities`, when
// given, is C as similarity_code_major writes it for these rows and
// centroids (a caller that already needs it for the token lists saves the
// product); otherwise C is computed here. Throws InvalidInput for a code of
// more than 2^20 groups (its sums would leave the integers' safe range).
CodeQueryTables build_code_tables(const float* query, uint64_t q, const CentroidView& centroids,
                                  const ResidualQuantiser& quantiser, const float* similarities = nullptr);

// The per-query-row integer maxima of one document of n vectors:
// maxima[j] = M_j for j < q (INT32_MIN, or a value below CODE_NO_VECTOR,
// when no vector has a valid code). Kernels may also write lanes up to q
// rounded to CODE_TABLE_LANES, which must have room.
using CodeMaxSimKernel = void (*)(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                                  std::size_t n, int32_t* maxima);

void code_maxsim_scalar(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                        std::size_t n, int32_t* maxima);
void code_maxsim_avx2(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
                      int32_t* maxima);
void code_maxsim_avx512(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                        std::size_t n, int32_t* maxima);
// Vectors in lanes and one byte lookup per group from the `bytes` tables
// (AVX-512 VBMI and VNNI); codes of a byte count not divisible by 4 go to
// code_maxsim_avx512.
void code_maxsim_vbmi(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
                      int32_t* maxima);

// m_j of the formula from M_j.
inline float code_row_maximum(const CodeQueryTables& t, std::size_t j, int32_t m) {
    if (t.unordered[j]) return std::numeric_limits<float>::quiet_NaN();
    if (m < CODE_NO_VECTOR) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(m) * t.delta[j] + t.bias[j];
}

// Every kernel this build and processor run, scalar first.
std::vector<CodeMaxSimKernel> code_maxsim_kernels();

// The kernel of `isa`, or the scalar one when this processor or build lacks
// it; for Isa::Avx512 the byte-lookup kernel when the processor has VBMI and
// VNNI.
CodeMaxSimKernel code_maxsim_kernel_for(parallel::Isa isa);

// The kernel for best_isa(), chosen once on first use.
CodeMaxSimKernel code_maxsim_kernel();

// A code store as the scorer reads it: n_rows fine codes, n_rows x
// residual_bytes(dim, bits) packed residuals, and n_docs + 1 offsets
// (document d is rows offsets[d] .. offsets[d + 1] - 1). Borrowed.
struct CodeStoreView {
    const uint16_t* fine = nullptr;
    const uint8_t* residual = nullptr;
    uint64_t n_rows = 0;
    const int64_t* offsets = nullptr;
    uint64_t n_docs = 0;
};

// out[i] = the approximate score of candidates[i] (repeats allowed) for the
// q x dim `query`. Throws InvalidInput, before any work, for a candidate
// outside the documents or offsets outside the rows. Large candidate sets
// are split over `pool` (the calling thread's pool when null), each score
// written by one task.
void code_maxsim_scores(const float* query, uint64_t q, const CentroidView& centroids,
                        const ResidualQuantiser& quantiser, const CodeStoreView& store,
                        std::span<const int64_t> candidates, float* out, parallel::ThreadPool* pool = nullptr,
                        CodeMaxSimKernel kernel = code_maxsim_kernel());

// The same with the query's tables built already (they must come from the
// quantiser and centroids of `store`'s codes).
void code_maxsim_scores(const CodeQueryTables& tables, const CodeStoreView& store,
                        std::span<const int64_t> candidates, float* out, parallel::ThreadPool* pool = nullptr,
                        CodeMaxSimKernel kernel = code_maxsim_kernel());

}  // namespace qor
