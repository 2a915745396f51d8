#include "router/state.hpp"

#include <string>

#include "common/text.hpp"

namespace qor {

namespace {

bool mul_overflows(uint64_t a, uint64_t b, uint64_t* out) {
    return __builtin_mul_overflow(a, b, out);
}

std::optional<std::string> check_codebook(const TwoStageCodebook& cb) {
    if (cb.n_fine > MAX_FINE_CENTROIDS)
        return "n_fine " + num(cb.n_fine) + " exceeds " + num(MAX_FINE_CENTROIDS);
    uint64_t cq = 0, dd = 0;
    if (mul_overflows(cb.n_fine, cb.dim, &cq) || cb.cquant.size() != cq)
        return "cquant has " + num(cb.cquant.size()) + " values, expected n_fine x dim = " + num(cb.n_fine) +
               " x " + num(cb.dim);
    if (cb.cindex_labels.size() != cb.n_fine)
        return "cindex_labels has " + num(cb.cindex_labels.size()) +
               " entries, expected n_fine = " + num(cb.n_fine);
    // Labels at or above n_coarse are allowed: top-cluster selection skips
    // them, so they cannot send a query out of bounds.
    if (cb.idf.size() != cb.n_fine)
        return "idf has " + num(cb.idf.size()) + " entries, expected n_fine = " + num(cb.n_fine);
    mul_overflows(cb.n_fine, cb.n_fine, &dd);  // n_fine <= 65536: cannot overflow
    if (cb.centroid_dists.size() != dd)
        return "centroid_dists has " + num(cb.centroid_dists.size()) +
               " values, expected n_fine x n_fine = " + num(dd);
    return std::nullopt;
}

std::optional<std::string> check_documents(const QorRouterState& s) {
    const uint64_t n_docs = s.doc_profiles.size();
    const FlatDocCodes& fc = s.flat_codes;
    if (n_docs > MAX_DOCUMENTS) return "document count " + num(n_docs) + " exceeds " + num(MAX_DOCUMENTS);
    if (fc.offsets.size() != n_docs || fc.lengths.size() != n_docs)
        return "flat_codes has " + num(fc.offsets.size()) + " offsets and " + num(fc.lengths.size()) +
               " lengths, expected one per document (" + num(n_docs) + ")";
    if (fc.codes.size() > MAX_TOTAL_CODES)
        return "flat_codes.codes has " + num(fc.codes.size()) + " entries, more than " + num(MAX_TOTAL_CODES);
    uint64_t expected_offset = 0;
    for (uint64_t d = 0; d < n_docs; ++d) {
        const DocProfile& p = s.doc_profiles[d];
        if (fc.offsets[d] != expected_offset)
            return "flat_codes.offsets[" + num(d) + "] = " + num(fc.offsets[d]) + ", expected " +
                   num(expected_offset);
        if (fc.lengths[d] != p.centroid_ids.size())
            return "flat_codes.lengths[" + num(d) + "] = " + num(fc.lengths[d]) + ", but the document has " +
                   num(p.centroid_ids.size()) + " centroid ids";
        if (expected_offset + fc.lengths[d] > fc.codes.size())
            return "run of document " + num(d) + " ends at " + num(expected_offset + fc.lengths[d]) +
                   ", past the " + num(fc.codes.size()) + " flat codes";
        for (uint64_t i = 0; i < p.centroid_ids.size(); ++i) {
            const uint32_t code = p.centroid_ids[i];
            if (code >= s.codebook.n_fine)
                return "doc_profiles[" + num(d) + "].centroid_ids[" + num(i) + "] = " + num(code) +
                       " is not below n_fine = " + num(s.codebook.n_fine);
            if (fc.codes[expected_offset + i] != code)
                return "flat_codes.codes[" + num(expected_offset + i) +
                       "] = " + num(fc.codes[expected_offset + i]) + " differs from centroid_ids[" + num(i) +
                       "] = " + num(code) + " of document " + num(d);
        }
        if (p.ctop.size() > s.ctop_r)
            return "doc_profiles[" + num(d) + "].ctop has " + num(p.ctop.size()) +
                   " ids, more than ctop_r = " + num(s.ctop_r);
        for (uint64_t i = 0; i < p.ctop.size(); ++i) {
            if (p.ctop[i] >= s.codebook.n_coarse)
                return "doc_profiles[" + num(d) + "].ctop[" + num(i) + "] = " + num(p.ctop[i]) +
                       " is not below n_coarse = " + num(s.codebook.n_coarse);
            for (uint64_t j = 0; j < i; ++j)
                if (p.ctop[j] == p.ctop[i])
                    return "doc_profiles[" + num(d) + "].ctop holds " + num(p.ctop[i]) + " twice";
        }
        expected_offset += fc.lengths[d];
    }
    if (expected_offset != fc.codes.size())
        return "document runs cover " + num(expected_offset) + " flat codes, but there are " +
               num(fc.codes.size());
    return std::nullopt;
}

std::optional<std::string> check_postings(const QorRouterState& s) {
    const ClusterPostings& p = s.postings;
    const uint64_t n_docs = s.doc_profiles.size();
    if (p.lists.size() != p.cluster_reps.size())
        return "postings has " + num(p.lists.size()) + " lists but " + num(p.cluster_reps.size()) +
               " cluster_reps";
    for (uint64_t c = 0; c < p.lists.size(); ++c) {
        const auto& list = p.lists[c];
        for (uint64_t i = 0; i < list.size(); ++i) {
            if (list[i] >= n_docs)
                return "postings.lists[" + num(c) + "] holds document " + num(list[i]) + ", not below the " +
                       num(n_docs) + " documents";
            if (i > 0 && list[i] <= list[i - 1])
                return "postings.lists[" + num(c) + "] is not strictly increasing at position " + num(i);
        }
        // A representative may be absent beside a non-empty list; when present
        // it must be the list's first document.
        const auto& rep = p.cluster_reps[c];
        if (rep && list.empty())
            return "postings.cluster_reps[" + num(c) + "] is present but lists[" + num(c) + "] is empty";
        if (rep && *rep != list.front())
            return "postings.cluster_reps[" + num(c) + "] = " + num(*rep) + ", expected the first posting " +
                   num(list.front());
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> check_state_invariants(const QorRouterState& state, bool require_id_per_doc) {
    if (auto e = check_codebook(state.codebook)) return e;
    if (auto e = check_documents(state)) return e;
    if (require_id_per_doc && state.doc_ids.size() != state.doc_profiles.size())
        return "doc_ids has " + num(state.doc_ids.size()) + " entries, expected one per document (" +
               num(state.doc_profiles.size()) + ")";
    if (auto e = check_postings(state)) return e;
    return std::nullopt;
}

}  // namespace qor
