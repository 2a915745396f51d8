#include "codebook/progress_lines.hpp"

#include <algorithm>

namespace qor {

std::string kmeans_iteration_line(uint64_t t, uint64_t max_iter, std::span<const uint32_t> labels,
                                  std::span<const uint32_t> previous) {
    const std::string head = "iteration " + std::to_string(t + 1) + " of " + std::to_string(max_iter) + ": ";
    if (t == 0) return head + std::to_string(labels.size()) + " labels assigned";
    const std::size_t n = std::min(labels.size(), previous.size());
    uint64_t changed = 0;
    for (std::size_t i = 0; i < n; ++i) changed += labels[i] != previous[i] ? 1 : 0;
    return head + std::to_string(changed) + " of " + std::to_string(labels.size()) + " labels changed" +
           (changed == 0 ? ", converged" : "");
}

}  // namespace qor
