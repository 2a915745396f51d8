// Texts of the progress lines of codebook training.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qor {

// "iteration 3 of 30: 1234 of 100000 labels changed" for pass `t` (0-based)
// of at most `max_iter`, comparing this pass's labels with the previous
// pass's; the first pass reports every label as assigned.
std::string kmeans_iteration_line(uint64_t t, uint64_t max_iter, std::span<const uint32_t> labels,
                                  std::span<const uint32_t> previous);

}  // namespace qor
