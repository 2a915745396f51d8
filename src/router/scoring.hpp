// Proxy scoring of candidate documents from the query-by-centroid
// similarity matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "parallel/cpu_features.hpp"
#include "router/doc_codes.hpp"
#include "router/router.hpp"
#include "router/similarity.hpp"
#include "router/state.hpp"

namespace qor {

// The similarity matrix in code-major form, as similarity_code_major writes
// it: one row per fine centroid, each holding the q query similarities in
// query-row order, padded with -inf to `stride`, then one more row of -inf
// that kernels read for codes >= n_fine.
struct CodeMajorView {
    const float* data;   // (n_fine + 1) x stride
    std::size_t stride;  // code_major_stride(q)
    uint64_t q;
    uint64_t n_fine;
};

// A code-major matrix that owns its values.
struct CodeMajorSims {
    std::vector<float> data;
    std::size_t stride = 0;
    uint64_t q = 0;
    uint64_t n_fine = 0;

    CodeMajorView view() const { return {data.data(), stride, q, n_fine}; }
};

// Copies row-major sims (q x n_fine, row stride n_fine) into code-major
// form: how tests and benchmarks give the proxy kernels chosen values.
CodeMajorSims to_code_major(const float* sims, uint64_t q, uint64_t n_fine);

// Proxy distance of one document read from a code-major matrix: for each
// query row j, m_j = max over the codes c < n_fine, in code order, of
// sims[c][j] by `if (v > m_j) m_j = v` from -inf (NaN never wins); then
// 1 - (sum of the m_j that are not -inf, in row order, from 0) / q. Codes at
// or above n_fine are skipped; q == 0 or no codes gives 3.4028235e38.
// Equal, bit for bit, to proxy_distance over the row-major matrix.
float proxy_distance_code_major_scalar(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                                       const uint16_t* codes, std::size_t n_codes);

// w[i] = the proxy distance of docs[i], as above, for n_docs documents. The
// vector variants hold many query rows per register and sum several
// documents side by side; every result equals the scalar one bit for bit.
using ProxyKernel = void (*)(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                             const DocCodes* docs, std::size_t n_docs, float* w);

void proxy_distances_code_major_scalar(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                                       const DocCodes* docs, std::size_t n_docs, float* w);
void proxy_distances_code_major_avx2(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                                     const DocCodes* docs, std::size_t n_docs, float* w);
void proxy_distances_code_major_avx512(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                                       const DocCodes* docs, std::size_t n_docs, float* w);

// The kernel of `isa`, or the scalar one when this processor or build lacks it.
ProxyKernel proxy_kernel_for(parallel::Isa isa);

// The kernel for this processor (scalar under QOR_FORCE_SCALAR=1), chosen
// once on first use.
ProxyKernel proxy_kernel();

// Number of entries of query_ctop that occur in doc_ctop.
inline uint64_t ctop_overlap(std::span<const uint32_t> query_ctop, std::span<const uint32_t> doc_ctop) {
    uint64_t overlap = 0;
    for (const uint32_t c : query_ctop)
        for (const uint32_t d : doc_ctop)
            if (c == d) {
                ++overlap;
                break;
            }
    return overlap;
}

// Weight of the C_top overlap fraction in the proxy score.
inline constexpr float OVERLAP_WEIGHT = 0.2f;

// (overlap / max(ctop_len, 1)) * OVERLAP_WEIGHT + 1 / (w + 1), each
// operation rounded to float32 in that order.
inline float proxy_score(float w, uint64_t overlap, uint64_t ctop_len) {
    const float fraction = static_cast<float>(overlap) / static_cast<float>(ctop_len > 1 ? ctop_len : 1);
    const float bonus = fraction * OVERLAP_WEIGHT;
    const float closeness = 1.0f / (w + 1.0f);
    return bonus + closeness;
}

// The proxy score of every candidate, slot i for candidates[i], computed in
// parallel from the code-major matrix, the documents' flat codes and C_tops.
// Throws InternalFailure (after every worker is done) when a candidate has
// no profile, offset or length, or its code run leaves the code array.
std::vector<float> score_candidates(const QorRouterState& state, const CodeMajorView& sims,
                                    std::span<const uint32_t> query_ctop,
                                    std::span<const uint32_t> candidates);

// Positions into `scores` of the first min(n, keep) entries of a stable
// sort by score, highest first (equal scores in position order). Two or
// more scores with a NaN among them throw InternalFailure, whatever `keep`.
std::vector<uint32_t> rank_scores(std::span<const float> scores, uint64_t keep);

}  // namespace qor
