// The query profile shared by every query operation.
#pragma once

#include <cstdint>

#include "router/router.hpp"

namespace qor {

// centroid_ids = the fine codes of the `rows` query rows (read as runs of
// codebook.dim floats from `data`, which holds at least rows * cols values
// and cols <= codebook.dim is the caller's check); ctop = the C_top of
// those codes with r = max(n_probes, state.ctop_r).
QueryProfile query_profile(const QorRouterState& state, const MatrixRef& query, uint64_t n_probes);

}  // namespace qor
