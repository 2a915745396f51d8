// The query profile: the fine codes of the query rows and the query's C_top.
#include "router/query_profile.hpp"

#include <algorithm>
#include <span>

#include "codebook/ctop.hpp"
#include "codebook/encode.hpp"

namespace qor {

QueryProfile query_profile(const QorRouterState& state, const MatrixRef& query, uint64_t n_probes) {
    // The view is contiguous (checked by the caller), so it is read as one
    // flat run of rows x cols floats. Encoding reads it as runs of the
    // codebook's dim; a narrower query is too short and encoding refuses it.
    const std::span<const float> flat = query.rows == 0 || query.cols == 0
                                            ? std::span<const float>()
                                            : std::span<const float>(query.data, query.rows * query.cols);
    QueryProfile profile;
    profile.centroid_ids = encode_vectors(state.codebook, flat, query.rows);
    // A query never gets a smaller C_top budget than the documents were built with.
    const uint64_t r = std::max(n_probes, state.ctop_r);
    profile.ctop = top_coarse_clusters(state.codebook, profile.centroid_ids, r);
    return profile;
}

}  // namespace qor
