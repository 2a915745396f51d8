// Read-only operations on a trained codebook: encoding vectors to fine
// codes, C_top selection and the proxy distance.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codebook/codebook.hpp"

namespace qor {

// The fine code (nearest fine centroid of the normalised row, ties to the
// lower index, NaN rows to 0) of each of the n_rows rows of `vectors`, read
// as consecutive runs of codebook.dim values. Parallel over rows.
// Throws InternalFailure("codebook shape mismatch ...") when cquant holds
// fewer than n_fine*dim values (checked first, even for n_rows == 0) and
// InternalFailure("vector shape mismatch ...") when the slice holds fewer
// than n_rows*dim values.
std::vector<uint32_t> encode_vectors(const TwoStageCodebook& codebook, std::span<const float> vectors,
                                     uint64_t n_rows);

// At most r coarse cluster ids with a positive summed idf weight, highest
// first, equal weights in increasing id order. Codes >= n_fine and labels
// >= n_coarse are skipped. Requires cindex_labels and idf to hold n_fine
// entries (InternalFailure otherwise).
std::vector<uint32_t> top_coarse_clusters(const TwoStageCodebook& codebook, std::span<const uint32_t> codes,
                                          uint64_t r);

// 1 - (sum over query rows j of max over ids < h of sims[j*h + id], NaN
// ignored, rows without a valid value adding nothing) / q, in float32;
// 3.4028235e38 when q == 0 or ids is empty. sims holds at least q*h values.
float proxy_distance(std::span<const float> sims, uint64_t q, uint64_t h, std::span<const uint16_t> ids);

}  // namespace qor
