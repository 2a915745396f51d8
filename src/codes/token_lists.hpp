// Token-level candidates: inverted lists from each fine centroid to the
// documents holding a vector of that code, and the documents under each
// query row's few most similar fine centroids. A second way in beside the
// router's coarse-cluster route, whose cost grows with the lists probed
// rather than with the collection.
#pragma once

#include <cstdint>
#include <vector>

#include "codes/residual_codes.hpp"

namespace qor {

// Lists in compressed rows: the documents of centroid c are
// docs[starts[c] .. starts[c + 1] - 1], in increasing order, each once.
struct TokenLists {
    std::vector<int64_t> starts;  // n_fine + 1
    std::vector<int64_t> docs;
};

// The lists of the documents of a code store: fine codes of n_rows vectors,
// document d is rows offsets[d] .. offsets[d + 1] - 1. Codes at or above
// n_fine belong to no list. Throws InvalidInput when the offsets do not rise
// within the rows.
TokenLists build_token_lists(const uint16_t* fine, uint64_t n_rows, const int64_t* offsets, uint64_t n_docs,
                             uint64_t n_fine);

// The documents, increasing and each once, in the lists of the `probe` fine
// centroids most similar to each of the q query rows (similarity as the
// code scores compute it; ties to the lower centroid, NaN last). Throws
// InvalidInput when the lists do not match the centroids.
std::vector<int64_t> token_candidates(const float* query, uint64_t q, const CentroidView& centroids,
                                      const int64_t* starts, const int64_t* docs, uint64_t n_list_docs,
                                      uint64_t probe);

}  // namespace qor
