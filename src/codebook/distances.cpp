#include "codebook/distances.hpp"

#include <utility>

namespace qor {

DistanceTable::DistanceTable(const float* centroids, uint64_t d, std::vector<uint32_t> lanes,
                             parallel::Isa isa)
    : DistanceTable(centroids, d, std::move(lanes), {}, isa) {}

// Members in declaration order: the kernels are picked while `lanes` is
// still whole, then the lanes (and, for vector kernels, their transposed
// copy) move into lanes_.
DistanceTable::DistanceTable(const float* centroids, uint64_t d, std::vector<uint32_t> lanes,
                             std::vector<std::size_t> segments, parallel::Isa isa)
    : kernels_(lane_kernels(d == 0 || lanes.empty() ? parallel::Isa::Scalar : isa)),
      segments_(std::move(segments)),
      lanes_(centroids, 0, d, std::move(lanes), kernels_.vector) {
    if (segments_.empty()) segments_ = {0, lanes_.width()};
}

}  // namespace qor
