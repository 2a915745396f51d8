// Candidate documents of a query: posting-list hits over its C_top and the
// order that breaks score ties.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "router/state.hpp"

namespace qor {

struct CandidateList {
    std::vector<uint32_t> docs;  // document indices, each once
    std::vector<uint32_t> hits;  // hits[i]: probed lists holding docs[i]
};

// For each cluster of ctop in order (ids without a posting list skipped),
// counts one hit for every occurrence of a document in that list; returns
// the documents with at least one hit, more hits first, equal hits in
// increasing index order. Linear in the postings read plus the span of
// document indices touched. Throws InternalFailure when a list holds an
// index >= n_docs.
CandidateList collect_candidates(const ClusterPostings& postings, std::span<const uint32_t> ctop,
                                 uint64_t n_docs);

}  // namespace qor
