// C_top selection: the coarse clusters a set of fine codes weighs most.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codebook/codebook.hpp"

namespace qor {

// At most r coarse cluster ids with a positive summed idf weight, highest
// first, equal weights in increasing id order. Codes >= n_fine and labels
// >= n_coarse are skipped. Requires cindex_labels and idf to hold n_fine
// entries (InternalFailure otherwise).
std::vector<uint32_t> top_coarse_clusters(const TwoStageCodebook& codebook, std::span<const uint32_t> codes,
                                          uint64_t r);

}  // namespace qor
