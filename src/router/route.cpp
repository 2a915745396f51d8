// Candidate routing with proxy scores (placeholder).
#include "common/errors.hpp"
#include "router/router.hpp"

namespace qor {

std::vector<ScoredDoc> Router::route_query(const MatrixRef& query, uint64_t, uint64_t) {
    require_state("router not built");
    check_matrix(query, WidthRule::Exact);
    throw NotImplemented("route_query is not implemented yet");
}

}  // namespace qor
