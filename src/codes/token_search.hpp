// The first step of a search on the codes: the token-level candidates of a
// query and their approximate MaxSim scores, with the query rows'
// similarities to the fine centroids computed once for both.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codes/code_maxsim.hpp"
#include "codes/residual_codes.hpp"
#include "parallel/thread_pool.hpp"

namespace qor {

// Token lists as token_lists.hpp builds them. Borrowed.
struct TokenListsView {
    const int64_t* starts = nullptr;  // n_fine + 1
    const int64_t* docs = nullptr;
    uint64_t n_docs = 0;  // entries of docs
};

struct TokenSearch {
    std::vector<int64_t> docs;  // increasing, each once
    std::vector<float> scores;  // scores[i] of docs[i]; empty unless asked for
};

// The documents in the lists of the probes[j] fine centroids most similar
// to query row j (as token_candidates picks them), together with `extra`
// documents, less those with skip[d] != 0 (no document skipped when skip is
// null; otherwise it holds store.n_docs flags). With a nonzero `shortlist`
// and more candidates than that, only the best `shortlist` of them remain,
// ranked by their fine codes alone: per query row the largest similarity
// to a centroid below n_fine that the document's vectors hold, summed over
// the rows in order (ties to the lower document). With `score`, their
// approximate MaxSim scores for the q x dim `query` (code_maxsim_scores:
// the same bits).
// Throws InvalidInput when probes do not hold one count per query row, the
// lists do not match the centroids, or a listed or extra document lies
// outside the store.
TokenSearch token_search(const float* query, uint64_t q, const CentroidView& centroids,
                         const ResidualQuantiser& quantiser, const CodeStoreView& store,
                         const TokenListsView& lists, std::span<const uint64_t> probes,
                         std::span<const int64_t> extra, const uint8_t* skip, bool score,
                         parallel::ThreadPool* pool = nullptr, uint64_t shortlist = 0);

}  // namespace qor
