// The router: at most one built state, the query scratch buffer and the
// router's vector dimension. Plain C++; the Python type wraps one of these.
//
// Every operation checks, in this order and before doing any work: state
// present (where it needs one), matrix width against dim() (where stated),
// C-contiguous layout. Failures throw InvalidInput with the exact message;
// broken internal invariants throw InternalFailure. A failed call leaves the
// router as it was.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/matrix.hpp"
#include "router/state.hpp"

namespace qor {

using DocRange = std::pair<uint64_t, uint64_t>;  // rows [first, second) of the matrix

struct QueryProfile {
    std::vector<uint32_t> centroid_ids;  // one fine code per query row
    std::vector<uint32_t> ctop;          // at most max(n_probes, ctop_r) coarse ids
};

struct ScoredDoc {
    uint64_t doc_id;
    float score;
};

struct DocOverlap {
    uint64_t doc_id;
    uint64_t overlap;
};

// Reusable space for the code-major query-by-fine-centroid similarity
// matrix ((n_fine + 1) rows of the query row count rounded up to 16). Queries
// write it under shared access to the router, so it has its own lock.
struct SimScratch {
    std::mutex mutex;
    std::vector<float> data;
};

inline constexpr uint64_t SCRATCH_QUERY_ROWS =
    64;  // query rows' worth reserved by build and load (a multiple of 16)

class Router {
public:
    explicit Router(uint64_t dim) : dim_(dim) {}

    uint64_t dim() const { return dim_; }
    bool is_ready() const { return state_.has_value(); }
    uint64_t n_docs() const { return state_ ? state_->doc_profiles.size() : 0; }
    uint64_t n_fine() const { return state_ ? state_->codebook.n_fine : 0; }
    uint64_t n_coarse() const { return state_ ? state_->codebook.n_coarse : 0; }
    const QorRouterState* state() const { return state_ ? &*state_ : nullptr; }

    // Trains a codebook and indexes the documents; replaces the state whole.
    void build(const MatrixRef& all_vectors, std::span<const uint64_t> doc_ids,
               std::span<const DocRange> doc_offsets, uint64_t n_fine, uint64_t n_coarse,
               uint64_t max_kmeans_iter, uint64_t ctop_r);

    // Appends documents encoded with the existing codebook.
    void add_documents(const MatrixRef& new_vectors, std::span<const uint64_t> new_doc_ids,
                       std::span<const DocRange> doc_offsets);

    // Candidates of the query's C_top clusters, best proxy score first.
    std::vector<ScoredDoc> route_query(const MatrixRef& query, uint64_t n_probes, uint64_t max_candidates);

    // Representative doc ids of the query's C_top clusters, in C_top order.
    std::vector<uint64_t> get_cluster_entries(const MatrixRef& query, uint64_t n_probes) const;

    // The query's fine codes and C_top.
    QueryProfile compute_query_profile(const MatrixRef& query, uint64_t n_probes) const;

    // For every document in index order: its id and its C_top overlap with the query's.
    std::vector<DocOverlap> query_cluster_overlaps(const MatrixRef& query, uint64_t n_probes) const;

    // Installs a state read from a file: dim() becomes its codebook's dim,
    // the scratch buffer is reset for its codebook, the old state is dropped.
    void install_loaded(QorRouterState&& state);

    // Current size of the scratch buffer, in floats.
    std::size_t sim_scratch_size();

private:
    // Exact: the matrix must have dim() columns (build, add_documents,
    // route_query, get_cluster_entries). NotWider: a wider matrix is refused
    // with the same message; a narrower one goes on to encoding, which
    // reports it as a shape mismatch (compute_query_profile,
    // query_cluster_overlaps).
    enum class WidthRule { Exact, NotWider };

    const QorRouterState& require_state(const char* message) const;
    void check_matrix(const MatrixRef& m, WidthRule rule) const;
    static void check_id_count(std::size_t ids, std::size_t pairs);
    void reset_scratch(uint64_t n_fine);

    std::optional<QorRouterState> state_;
    SimScratch scratch_;
    uint64_t dim_;
};

}  // namespace qor
