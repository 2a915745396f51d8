// The router's queries. route_query: posting-list hits over the query's
// C_top, one similarity product against every fine centroid (written in the
// code-major layout the scoring reads), parallel scoring through each
// candidate's stored codes, then the best first. The light ones read only
// the query's profile: cluster entries, the profile itself, and every
// document's C_top overlap.
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

#include "common/errors.hpp"
#include "common/text.hpp"
#include "parallel/call_hooks.hpp"
#include "router/candidates.hpp"
#include "router/query_profile.hpp"
#include "router/router.hpp"
#include "router/scoring.hpp"
#include "router/similarity.hpp"

namespace qor {

std::vector<ScoredDoc> Router::route_query(const MatrixRef& query, uint64_t n_probes,
                                           uint64_t max_candidates) {
    require_state("router not built");
    check_matrix(query, WidthRule::Exact);
    const QorRouterState& state = *state_;
    const TwoStageCodebook& codebook = state.codebook;
    const uint64_t q = query.rows;
    const uint64_t n_fine = codebook.n_fine;
    const uint64_t dim = codebook.dim;

    // The product reads the query rows with the codebook's width and every
    // cquant row; a state that disagrees must not be read past its end.
    if (dim != dim_)
        throw InternalFailure("router state is inconsistent: codebook dimension " + num(dim) +
                              ", router dimension " + num(dim_));
    uint64_t cquant_needed = 0;
    if (__builtin_mul_overflow(n_fine, dim, &cquant_needed) || codebook.cquant.size() < cquant_needed)
        throw InternalFailure("router state is inconsistent: cquant holds " + num(codebook.cquant.size()) +
                              " values, expected " + num(n_fine) + " x " + num(dim));
    // The code-major matrix: n_fine + 1 rows of `stride` floats.
    const std::size_t stride = code_major_stride(q);
    std::size_t sims_needed = 0;
    if (q > UINT64_MAX - CODE_MAJOR_LANES || __builtin_mul_overflow(n_fine + 1, stride, &sims_needed))
        throw std::bad_alloc();

    const QueryProfile profile = query_profile(state, query, n_probes);
    const CandidateList candidates = collect_candidates(state.postings, profile.ctop, state.n_docs());
    check_interrupt();

    std::vector<float> scores;
    {
        // The parallel loops below may run the caller's signal handlers (and
        // through them Python code, even a query on this router) between
        // chunks. Such a nested query finds the scratch taken and works in a
        // buffer of its own instead of waiting for a lock its own thread holds.
        std::unique_lock<std::mutex> lock(scratch_.mutex, std::try_to_lock);
        std::vector<float> own;
        std::vector<float>& buffer = lock.owns_lock() ? scratch_.data : own;
        if (buffer.size() < sims_needed) buffer.resize(sims_needed, 0.0f);
        // Code-major (one row of query similarities per centroid) lets a
        // vector max cover many query rows per code in the per-candidate loop.
        similarity_code_major(query.data, q, codebook.cquant.data(), n_fine, dim, buffer.data());
        const CodeMajorView sims{buffer.data(), stride, q, n_fine};
        scores = score_candidates(state, sims, profile.ctop, candidates.docs);
    }

    const std::vector<uint32_t> kept = rank_scores(scores, max_candidates);
    std::vector<ScoredDoc> result;
    result.reserve(kept.size());
    for (const uint32_t pos : kept) {
        const uint32_t d = candidates.docs[pos];
        if (d >= state.doc_ids.size())
            throw InternalFailure("router state is inconsistent: document " + num(d) + " has no id (" +
                                  num(state.doc_ids.size()) + " ids stored)");
        result.push_back(ScoredDoc{state.doc_ids[d], scores[pos]});
    }
    return result;
}

std::vector<uint64_t> Router::get_cluster_entries(const MatrixRef& query, uint64_t n_probes) const {
    const QorRouterState& state = require_state("router not built");
    check_matrix(query, WidthRule::Exact);
    const QueryProfile profile = query_profile(state, query, n_probes);
    const auto& reps = state.postings.cluster_reps;
    std::vector<uint64_t> entries;
    entries.reserve(profile.ctop.size());
    // In C_top order, so the first hint belongs to the most relevant cluster;
    // a document representing two probed clusters is listed twice.
    for (uint32_t c : profile.ctop) {
        if (c >= reps.size() || !reps[c]) continue;
        const uint32_t doc = *reps[c];
        if (doc < state.doc_ids.size()) entries.push_back(state.doc_ids[doc]);
    }
    return entries;
}

QueryProfile Router::compute_query_profile(const MatrixRef& query, uint64_t n_probes) const {
    const QorRouterState& state = require_state("router not built");
    check_matrix(query, WidthRule::NotWider);
    return query_profile(state, query, n_probes);
}

std::vector<DocOverlap> Router::query_cluster_overlaps(const MatrixRef& query, uint64_t n_probes) const {
    const QorRouterState& state = require_state("router not built");
    check_matrix(query, WidthRule::NotWider);
    const std::vector<uint32_t> ctop = query_profile(state, query, n_probes).ctop;
    std::vector<DocOverlap> overlaps;
    overlaps.reserve(state.doc_profiles.size());
    for (std::size_t d = 0; d < state.doc_profiles.size(); ++d) {
        if (d >= state.doc_ids.size())
            throw InternalFailure("document " + num(d) + " has no id: the router holds " +
                                  num(state.doc_ids.size()) + " ids for " + num(state.doc_profiles.size()) +
                                  " documents");
        overlaps.push_back(DocOverlap{state.doc_ids[d], ctop_overlap(ctop, state.doc_profiles[d].ctop)});
    }
    return overlaps;
}

}  // namespace qor
