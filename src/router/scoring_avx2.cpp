// AVX2 code-major proxy kernel: 8 query rows per register, up to 32 rows
// held across a document's codes. FMA is disabled for this file.
#include "common/simd_x86.hpp"
#include "router/scoring_kernel.inl"

namespace qor {

void proxy_distances_code_major_avx2(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                                     const DocCodes* docs, std::size_t n_docs, float* w) {
    proxy_distances<Avx2>(sims, stride, q, n_fine, docs, n_docs, w);
}

}  // namespace qor
