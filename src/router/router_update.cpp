// The operations that change a router: build, add_documents and install,
// with the checks they share with the queries and the scratch management.
#include <chrono>
#include <cstdio>
#include <string>

#include "codebook/codebook.hpp"
#include "codebook/encode.hpp"
#include "common/errors.hpp"
#include "common/text.hpp"
#include "parallel/call_hooks.hpp"
#include "router/indexing.hpp"
#include "router/router.hpp"

namespace qor {

namespace {

// The values of a C-contiguous view as one flat row-major run.
std::span<const float> contiguous_values(const MatrixRef& m) {
    if (m.rows == 0 || m.cols == 0) return {};
    return {m.data, m.rows * m.cols};
}

std::string seconds_since(std::chrono::steady_clock::time_point start) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return buf;
}

}  // namespace

void Router::reset_scratch(uint64_t n_fine) {
    // Room for the code-major matrix of SCRATCH_QUERY_ROWS query rows:
    // n_fine + 1 rows of that many lanes. Allocated before taking the lock.
    std::vector<float> fresh((n_fine + 1) * SCRATCH_QUERY_ROWS, 0.0f);
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
    const auto width_error = [&] {
        return InvalidInput("dimension mismatch: expected " + num(dim_) + ", got " + num(m.cols));
    };
    // Exact width comes before the layout; the not-wider rule comes after it,
    // so a transposed matrix is reported as such whatever its width.
    if (rule == WidthRule::Exact && m.cols != dim_) throw width_error();
    if (!m.c_contiguous()) throw InvalidInput("array must be C-contiguous");
    if (rule == WidthRule::NotWider && m.cols > dim_) throw width_error();
}

void Router::check_id_count(std::size_t ids, std::size_t pairs) {
    if (ids != pairs)
        throw InvalidInput("doc_ids has " + num(ids) + " entries but doc_offsets has " + num(pairs) +
                           " (start, end) pairs; pass one id per document");
}

void Router::build(const MatrixRef& all_vectors, std::span<const uint64_t> doc_ids,
                   std::span<const DocRange> doc_offsets, uint64_t n_fine, uint64_t n_coarse,
                   uint64_t max_kmeans_iter, uint64_t ctop_r) {
    check_matrix(all_vectors, WidthRule::Exact);
    check_id_count(doc_ids.size(), doc_offsets.size());
    const uint64_t n = all_vectors.rows;
    const uint64_t d = all_vectors.cols;
    check_fine_limit(n, n_fine);
    check_index_limits(doc_offsets, n, 0, 0);
    // k-means needs two rows to give the two fine centroids it is asked for;
    // with fewer the codebook would be short of rows (or, with no columns, of
    // coarse labels) and every later query would read past it.
    if (n < 2)
        throw InternalFailure("codebook shape mismatch: training needs at least 2 vectors, got " + num(n));

    // Nothing of the router changes until the new state is complete, so a
    // stop request anywhere before the install leaves it as it was.
    const ProgressStage stage("build");
    const auto start = std::chrono::steady_clock::now();
    report_progress([&] {
        return num(n) + " vectors x " + num(d) + " dims, " + num(doc_offsets.size()) + " documents, n_fine " +
               num(n_fine) + ", n_coarse " + num(n_coarse) + ", at most " + num(max_kmeans_iter) +
               " k-means iterations";
    });
    const std::span<const float> flat = contiguous_values(all_vectors);
    QorRouterState next;
    next.codebook = train_codebook(flat, n, d, n_fine, n_coarse, max_kmeans_iter);
    report_progress([&] { return "encoding " + num(n) + " vectors"; });
    std::vector<std::vector<uint32_t>> doc_codes;
    {
        const std::vector<uint32_t> codes = encode_vectors(next.codebook, flat, n);
        doc_codes = cut_documents(codes, doc_offsets);
    }
    check_interrupt();
    report_progress([&] { return "indexing " + num(doc_codes.size()) + " documents"; });
    next.codebook.idf = compute_idf(doc_codes, next.codebook.n_fine);
    // One posting list per requested coarse cluster, as passed (not clamped).
    next.postings.lists.resize(n_coarse);
    next.postings.cluster_reps.resize(n_coarse);
    next.ctop_r = ctop_r;
    append_documents(next, std::move(doc_codes), doc_ids);
    if (auto broken = check_state_invariants(next, true))
        throw InternalFailure("built state is inconsistent: " + *broken);

    // The last report and check come before the install: once the state is
    // replaced, nothing may end the call with an error.
    report_progress([&] {
        return "done in " + seconds_since(start) + ": " + num(next.n_docs()) + " documents, " +
               num(next.codebook.n_fine) + " fine centroids, " + num(next.codebook.n_coarse) +
               " coarse clusters";
    });
    check_interrupt();
    reset_scratch(next.codebook.n_fine);
    state_ = std::move(next);
}

void Router::add_documents(const MatrixRef& new_vectors, std::span<const uint64_t> new_doc_ids,
                           std::span<const DocRange> doc_offsets) {
    require_state("router not built yet; call build() first");
    check_matrix(new_vectors, WidthRule::Exact);
    check_id_count(new_doc_ids.size(), doc_offsets.size());
    QorRouterState& state = *state_;
    // A loaded file may hold more or fewer ids than documents; appending then
    // would pair every new document with another document's id.
    if (state.doc_ids.size() != state.n_docs())
        throw InvalidInput("cannot add documents: the router holds " + num(state.doc_ids.size()) +
                           " doc_ids for " + num(state.n_docs()) + " documents");
    const uint64_t m = new_vectors.rows;
    // Every pair and limit is checked before anything is appended.
    check_doc_ranges(doc_offsets, m);
    check_index_limits(doc_offsets, m, state.n_docs(), state.flat_codes.codes.size());
    const ProgressStage stage("add_documents");
    const auto start = std::chrono::steady_clock::now();
    report_progress(
        [&] { return "encoding " + num(m) + " vectors of " + num(doc_offsets.size()) + " documents"; });
    std::vector<std::vector<uint32_t>> doc_codes;
    {
        const std::vector<uint32_t> codes = encode_vectors(state.codebook, contiguous_values(new_vectors), m);
        doc_codes = cut_documents(codes, doc_offsets);
    }
    // Reported and checked before the append, which is all-or-nothing and
    // after which nothing may end the call with an error.
    report_progress([&] {
        return "encoded in " + seconds_since(start) + "; indexing " + num(doc_codes.size()) +
               " documents after the " + num(state.n_docs()) + " indexed";
    });
    check_interrupt();
    append_documents(state, std::move(doc_codes), new_doc_ids);
}

}  // namespace qor
