// The split of a centroid set into groups of nearby centroids, for the
// bounded k-means assignment, which keeps one lower bound per row and group.
// Any split gives the same labels; nearby centroids in one group make its
// bound tight.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qor {

struct CentroidGroups {
    std::vector<uint32_t> group_of;    // per centroid
    std::vector<uint32_t> lanes;       // centroids in group order, each group padded to DISTANCE_LANES
    std::vector<std::size_t> segment;  // group g holds lanes [segment[g], segment[g + 1])
    std::vector<uint64_t> size;        // centroids per group
    std::vector<float> centre;         // per group: mean of its finite centroids (NaN without any)
};

// g_count groups of the k x d row-major centroids: a few Lloyd passes over
// the finite centroids in double, then each group filled to a whole number
// of lane blocks with the centroids nearest its seed. A centroid that is not
// finite lands wherever there is room.
CentroidGroups group_centroids(const float* centroids, uint64_t k, uint64_t d, uint64_t g_count);

// Whether all d values at p are finite (a centroid that can be nearest to a
// finite row).
inline bool all_finite(const float* p, uint64_t d) {
    for (uint64_t j = 0; j < d; ++j)
        if (!std::isfinite(p[j])) return false;
    return true;
}

}  // namespace qor
