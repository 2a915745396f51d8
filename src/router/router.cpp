// Placeholder for the indexing and query operations; install and scratch
// management are final.
#include "router/router.hpp"

#include "common/errors.hpp"

#include <string>

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

const QorRouterState& Router::require_state(const char* message) const {
    if (!state_) throw InvalidInput(message);
    return *state_;
}

void Router::check_matrix(const MatrixRef& m, WidthRule rule) const {
    const bool width_wrong = rule == WidthRule::Exact ? m.cols != dim_ : m.cols > dim_;
    if (width_wrong)
        throw InvalidInput("dimension mismatch: expected " + std::to_string(dim_) + ", got " +
                           std::to_string(m.cols));
    if (!m.c_contiguous()) throw InvalidInput("array must be C-contiguous");
}

void Router::check_id_count(std::size_t ids, std::size_t pairs) {
    if (ids != pairs)
        throw InvalidInput("doc_ids has " + std::to_string(ids) + " entries but doc_offsets has " +
                           std::to_string(pairs) + " (start, end) pairs; pass one id per document");
}

void Router::build(const MatrixRef& all_vectors, std::span<const uint64_t> doc_ids,
                   std::span<const DocRange> doc_offsets, uint64_t, uint64_t, uint64_t, uint64_t) {
    check_matrix(all_vectors, WidthRule::Exact);
    check_id_count(doc_ids.size(), doc_offsets.size());
    throw NotImplemented("build is not implemented yet");
}

void Router::add_documents(const MatrixRef& new_vectors, std::span<const uint64_t> new_doc_ids,
                           std::span<const DocRange> doc_offsets) {
    require_state("router not built yet; call build() first");
    check_matrix(new_vectors, WidthRule::Exact);
    check_id_count(new_doc_ids.size(), doc_offsets.size());
    throw NotImplemented("add_documents is not implemented yet");
}

std::vector<uint64_t> Router::get_cluster_entries(const MatrixRef& query, uint64_t) const {
    require_state("router not built");
    check_matrix(query, WidthRule::Exact);
    throw NotImplemented("get_cluster_entries is not implemented yet");
}

QueryProfile Router::compute_query_profile(const MatrixRef& query, uint64_t) const {
    require_state("router not built");
    check_matrix(query, WidthRule::NotWider);
    throw NotImplemented("compute_query_profile is not implemented yet");
}

std::vector<DocOverlap> Router::query_cluster_overlaps(const MatrixRef& query, uint64_t) const {
    require_state("router not built");
    check_matrix(query, WidthRule::NotWider);
    throw NotImplemented("query_cluster_overlaps is not implemented yet");
}

}  // namespace qor
