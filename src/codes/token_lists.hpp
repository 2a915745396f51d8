// Token-level candidates: inverted lists from each fine centroid to the
// documents holding a vector of that code, and the documents under each
// query row's few most similar fine centroids. A second way in beside the
// router's coarse-cluster route, whose cost grows with the lists probed
// rather than with the collection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
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

// The union, increasing and each once, of the lists of the probes[j] fine
// centroids most similar to query row j (the rows' similarities given
// code-major, `stride` floats per centroid, as similarity_code_major writes
// them) and of the documents `extra`, less each document d with skip[d] != 0
// (none when skip is null; otherwise it holds n_docs flags). Throws
// InvalidInput for a document outside 0 .. n_docs - 1. The lists themselves
// are not checked here.
std::vector<int64_t> token_candidates(const float* similarities, std::size_t stride, uint64_t n_fine,
                                      const int64_t* starts, const int64_t* docs,
                                      std::span<const uint64_t> probes, uint64_t n_docs,
                                      std::span<const int64_t> extra = {}, const uint8_t* skip = nullptr);

// Checks that the lists match n_fine centroids and hold n_list_docs
// entries; throws InvalidInput otherwise.
void check_token_lists(const int64_t* starts, uint64_t n_fine, uint64_t n_list_docs);

}  // namespace qor
