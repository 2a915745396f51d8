// Placeholder for the indexing and query operations; install and scratch
// management are final.
#include "router/router.hpp"

#include "common/errors.hpp"

namespace qor {

void Router::reset_scratch(uint64_t n_fine) {
    std::vector<float> fresh(n_fine * SCRATCH_QUERY_ROWS, 0.0f);  // allocate before taking the lock
    std::lock_guard<std::mutex> lock(scratch_.mutex);
    scratch_.data.swap(fresh);
}

std::size_t Router::sim_scratch_size() {
    std::lock_guard<std::mutex> lock(scratch_.mutex);
    return scratch_.data.size();
}

void Router::install_loaded(QorRouterState&& state) {
    reset_scratch(state.codebook.n_fine);
    dim_ = state.codebook.dim;
    state_ = std::move(state);
}

void Router::build(const MatrixRef&, std::span<const uint64_t>, std::span<const DocRange>, uint64_t, uint64_t,
                   uint64_t, uint64_t) {
    throw NotImplemented("build is not implemented yet");
}

void Router::add_documents(const MatrixRef&, std::span<const uint64_t>, std::span<const DocRange>) {
    throw NotImplemented("add_documents is not implemented yet");
}

std::vector<ScoredDoc> Router::route_query(const MatrixRef&, uint64_t, uint64_t) {
    throw NotImplemented("route_query is not implemented yet");
}

std::vector<uint64_t> Router::get_cluster_entries(const MatrixRef&, uint64_t) const {
    throw NotImplemented("get_cluster_entries is not implemented yet");
}

QueryProfile Router::compute_query_profile(const MatrixRef&, uint64_t) const {
    throw NotImplemented("compute_query_profile is not implemented yet");
}

std::vector<DocOverlap> Router::query_cluster_overlaps(const MatrixRef&, uint64_t) const {
    throw NotImplemented("query_cluster_overlaps is not implemented yet");
}

}  // namespace qor
