// Encoding vectors to fine codes with a trained codebook.
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

}  // namespace qor
