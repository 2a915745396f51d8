// The query-by-centroid similarity product, written straight into the
// code-major layout the proxy kernels read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "parallel/cpu_features.hpp"

namespace qor {

// Query-row lanes per code-major row: the row stride is a multiple of this,
// so a kernel loads whole vectors without a tail.
inline constexpr std::size_t CODE_MAJOR_LANES = 16;

// The code-major row stride for q query rows: q rounded up to CODE_MAJOR_LANES.
inline std::size_t code_major_stride(uint64_t q) {
    return static_cast<std::size_t>((q + CODE_MAJOR_LANES - 1) / CODE_MAJOR_LANES * CODE_MAJOR_LANES);
}

// One similarity, as every kernel computes it: acc = +0.0f, then for
// p = 0 .. dim - 1 in increasing order acc = acc + (x[p] * c[p]), the
// product and the sum each rounded to float32 (no fused multiply-add).
//
// Kernels fill code-major rows c_begin .. c_end - 1: out[c * stride + j] =
// the similarity of query row j and centroid c (row-major `centroids`,
// n x dim) for j < q. They read the query transposed: qt[p * stride + j] is
// dimension p of query row j, zero for j >= q. The vector kernels may also
// write lanes from q up to q rounded to their vector width (within
// code_major_stride(q)); the caller overwrites every lane from q on. Every variant gives the scalar one's
// bits (a NaN may carry another payload; no later step reads it). A caller passes qt and out advanced by a
// multiple of 16 lanes to fill part of the query rows.
using SimilarityKernel = void (*)(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                                  const float* centroids, std::size_t c_begin, std::size_t c_end, float* out);

void similarity_rows_scalar(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                            const float* centroids, std::size_t c_begin, std::size_t c_end, float* out);
void similarity_rows_avx2(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                          const float* centroids, std::size_t c_begin, std::size_t c_end, float* out);
void similarity_rows_avx512(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                            const float* centroids, std::size_t c_begin, std::size_t c_end, float* out);

// The kernel of `isa`, or the scalar one when this processor or build lacks it.
SimilarityKernel similarity_kernel_for(parallel::Isa isa);

// The kernel for best_isa(), chosen once on first use.
SimilarityKernel similarity_kernel();

// The whole code-major similarity matrix of the q x dim row-major `query`
// against n_fine x dim row-major `centroids`: out holds (n_fine + 1) rows of
// `stride` = code_major_stride(q) floats; row c < n_fine holds the q
// similarities of centroid c in query-row order, then -inf padding; row
// n_fine is all -inf (the proxy kernels read it for codes >= n_fine). Large
// products are split over the worker pool by centroid; every entry is
// written once by one task, so the result does not depend on the pool size.
// Throws std::bad_alloc when the transposed query cannot be allocated.
void similarity_code_major(const float* query, uint64_t q, const float* centroids, uint64_t n_fine,
                           uint64_t dim, float* out, SimilarityKernel kernel = similarity_kernel());

}  // namespace qor
