// Approximate MaxSim scored directly on residual codes (see
// residual_codes.hpp), never decompressing a document into float rows.
//
// For a query with rows q_0 .. q_{m-1}, every value float32, each product
// and sum rounded separately (no fused multiply-add):
//   C[j][c]    = dot(q_j, centroid_c): +0, then + q_j[p] * centroid_c[p] for
//                p = 0 .. dim - 1 in increasing order (the router's
//                similarity product); -inf for a code c >= n_fine;
//   T[j][g][v] = +0, then + q_j[p] * level[p][bucket of p in group value v]
//                for the dimensions p of residual group g in increasing
//                order (a group is 4 bits of the packed code: 4 / bits
//                dimensions; the last may hold fewer);
//   s(j, x)    = C[j][code_x], then + T[j][g][group g of x] for
//                g = 0 .. groups - 1 in increasing order;
//   m_j        = -inf, then m_j = s(j, x) > m_j ? s(j, x) : m_j over the
//                document's vectors in order (a NaN never wins);
//   score      = m_0, then score + m_j for j = 1 .. m - 1; 0 for a query
//                without rows, -inf for a document without vectors.
// C and T are built once per query; each candidate vector then costs one
// row of C and one table entry per residual byte. Every kernel variant and
// every pool size gives these bits.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The per-query tables, query rows innermost so that a vector kernel adds
// one table row of many query rows at once.
//   centroid  (n_fine + 1) x c_stride: C[j][c] at c * c_stride + j, row
//             n_fine all -inf, lanes >= q zero or -inf padding
//   table     groups x 16 x t_stride: T[j][g][v] at (g * 16 + v) * t_stride + j
struct CodeQueryTables {
    std::vector<float> centroid;
    std::size_t c_stride = 0;
    std::vector<float> table;
    std::size_t t_stride = 0;
    std::size_t groups = 0;      // 4-bit groups per code
    std::size_t code_bytes = 0;  // bytes per code
    std::size_t q = 0;
    uint64_t n_fine = 0;
};

// Builds C and T for the q x dim row-major `query`.
CodeQueryTables build_code_tables(const float* query, uint64_t q, const CentroidView& centroids,
                                  const ResidualQuantiser& quantiser);

// The per-query-row maxima of one document of n vectors: maxima[j] = m_j for
// j < q. Vector kernels also write lanes up to q rounded to
// CODE_TABLE_LANES, which must have room. Codes at or above n_fine read the
// -inf row.
using CodeMaxSimKernel = void (*)(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                                  std::size_t n, float* maxima);

void code_maxsim_scalar(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                        std::size_t n, float* maxima);
void code_maxsim_avx2(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
                      float* maxima);
void code_maxsim_avx512(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                        std::size_t n, float* maxima);

// The kernel of `isa`, or the scalar one when this processor or build lacks it.
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

}  // namespace qor
