// The records of a built router. Field order is declaration order, which is
// also the order of the state file.
//
// Invariants (after a successful build, load or add_documents):
//  1. cquant has n_fine*dim entries; cindex_labels and idf have n_fine;
//     centroid_dists has n_fine*n_fine.
//  2. doc_profiles, flat_codes.offsets and flat_codes.lengths have one entry
//     per document (the document count, what n_docs() reports).
//  3. doc_ids has one entry per document when the caller passed as many ids
//     as (start, end) pairs (not enforced: queries bounds-check doc_ids).
//  4. offsets[0] = 0, offsets[d] + lengths[d] = offsets[d + 1], the last run
//     ends at codes.size(), and codes[offsets[d] + i] = centroid_ids[i] of
//     document d. Hence a document has at most 65,535 vectors, codes has
//     fewer than 2^32 entries and n_fine is at most 65,536.
//  5. postings.lists and postings.cluster_reps have the same length (the
//     n_coarse argument of the build, as passed).
//  6. Every document index in lists and cluster_reps is below the document
//     count; each list is strictly increasing; cluster_reps[c], when present,
//     equals lists[c][0] (a build leaves it absent only for an empty list, a
//     loaded file may also leave it absent beside a non-empty one).
//  7. Every ctop id is below codebook.n_coarse; no ctop holds an id twice or
//     more than ctop_r ids.
//  8. Every centroid_ids entry is below codebook.n_fine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codebook/codebook.hpp"

namespace qor {

// Representation limits of the 16- and 32-bit fields.
inline constexpr uint64_t MAX_DOC_VECTORS = 65535;          // lengths are u16
inline constexpr uint64_t MAX_FINE_CENTROIDS = 65536;       // codes are u16
inline constexpr uint64_t MAX_TOTAL_CODES = 0xFFFFFFFFull;  // offsets are u32: total < 2^32
inline constexpr uint64_t MAX_DOCUMENTS = 0xFFFFFFFFull;    // indices are u32: count < 2^32

struct DocProfile {
    std::vector<uint32_t> centroid_ids;  // fine code of each row, in row order
    std::vector<uint32_t> ctop;          // at most ctop_r coarse ids, best first

    bool operator==(const DocProfile&) const = default;
};

struct FlatDocCodes {
    std::vector<uint16_t> codes;    // every document's centroid_ids, concatenated
    std::vector<uint32_t> offsets;  // start of document d's run in codes
    std::vector<uint16_t> lengths;  // length of document d's run

    bool operator==(const FlatDocCodes&) const = default;
};

struct ClusterPostings {
    std::vector<std::vector<uint32_t>> lists;           // per cluster, increasing doc indices
    std::vector<std::optional<uint32_t>> cluster_reps;  // per cluster, lowest doc index or absent

    bool operator==(const ClusterPostings&) const = default;
};

struct QorRouterState {
    TwoStageCodebook codebook;
    std::vector<DocProfile> doc_profiles;
    std::vector<uint64_t> doc_ids;
    ClusterPostings postings;
    uint64_t ctop_r = 0;
    FlatDocCodes flat_codes;

    uint64_t n_docs() const { return doc_profiles.size(); }
    bool operator==(const QorRouterState&) const = default;
};

// Checks the invariants above: all eight when require_id_per_doc is true,
// otherwise every one but 3. Returns a description of the first violation,
// or nothing when the state is sound.
std::optional<std::string> check_state_invariants(const QorRouterState& state, bool require_id_per_doc);

}  // namespace qor
