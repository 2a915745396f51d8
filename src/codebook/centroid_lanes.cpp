#include "codebook/centroid_lanes.hpp"

#include <limits>
#include <utility>

namespace qor {

std::vector<uint32_t> CentroidLanes::in_order(uint64_t k) {
    std::vector<uint32_t> lanes;
    lanes.reserve(
        static_cast<std::size_t>((k + CENTROID_LANE_BLOCK - 1) / CENTROID_LANE_BLOCK * CENTROID_LANE_BLOCK));
    for (uint64_t c = 0; c < k; ++c) lanes.push_back(static_cast<uint32_t>(c));
    while (lanes.size() % CENTROID_LANE_BLOCK != 0) lanes.push_back(NO_CENTROID);
    return lanes;
}

CentroidLanes::CentroidLanes(const float* centroids, uint64_t k, uint64_t d, std::vector<uint32_t> lanes,
                             bool transpose)
    : lanes_(std::move(lanes)) {
    view_.centroids = centroids;
    view_.k = static_cast<std::size_t>(k);
    view_.d = static_cast<std::size_t>(d);
    view_.lanes = lanes_.data();
    view_.width = lanes_.size();
    if (!transpose) return;
    const std::size_t width = lanes_.size();
    constexpr std::size_t align_floats = 16;  // 64 bytes
    storage_.resize(static_cast<std::size_t>(d) * width + align_floats);
    float* base = storage_.data();
    const auto misalign = (reinterpret_cast<std::uintptr_t>(base) / sizeof(float)) % align_floats;
    float* t = base + (misalign == 0 ? 0 : align_floats - misalign);
    // A block of lanes at a time: each dimension's values are written as one
    // run while the block's source rows stream in order (a plain
    // column-by-column scatter costs several times more).
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t p0 = 0; p0 < width; p0 += CENTROID_LANE_BLOCK)
        for (uint64_t j = 0; j < d; ++j) {
            float* dst = t + j * width + p0;
            for (std::size_t l = 0; l < CENTROID_LANE_BLOCK; ++l) {
                const uint32_t c = lanes_[p0 + l];
                dst[l] = c == NO_CENTROID ? nan : centroids[c * d + j];
            }
        }
    view_.ct = t;
}

}  // namespace qor
