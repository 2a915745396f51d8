// A centroid set laid out for the distance kernels, built once per set: the
// row-major centroids the scalar kernels read, the lane order, and for the
// vector kernels a transposed copy in which one vector load covers the same
// dimension of consecutive lanes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qor {

// Lanes per step of the vector kernels (two registers of the widest ISA);
// every lane count and segment boundary is a multiple of this.
inline constexpr std::size_t CENTROID_LANE_BLOCK = 32;

// Marks a padding lane.
inline constexpr uint32_t NO_CENTROID = 0xFFFFFFFFu;

// What a kernel reads. The scalar kernels use `centroids` (k x d,
// row-major) and `lanes`; the vector ones `ct`, d x width floats, 64-byte
// aligned, with dimension j of lane p at ct[j * width + p] and NaN in the
// padding lanes, so a padding lane never wins a minimum.
struct LaneView {
    const float* centroids = nullptr;
    std::size_t k = 0;  // centroids the scalar nearest kernel scans (the others read lanes)
    std::size_t d = 0;
    const uint32_t* lanes = nullptr;  // width entries: the centroid of each lane or NO_CENTROID
    std::size_t width = 0;
    const float* ct = nullptr;  // null unless built with the transposed copy
};

// Owner of a LaneView's lanes and transposed copy.
class CentroidLanes {
public:
    // `centroids` (k x d, row-major) must outlive this object; lanes.size()
    // is a multiple of CENTROID_LANE_BLOCK. The transposed copy is built
    // only when `transpose` (a vector kernel will read it).
    CentroidLanes(const float* centroids, uint64_t k, uint64_t d, std::vector<uint32_t> lanes,
                  bool transpose);

    // Lanes 0..k-1 holding centroids 0..k-1, padded to a whole lane block.
    static std::vector<uint32_t> in_order(uint64_t k);

    const LaneView& view() const { return view_; }
    std::size_t width() const { return lanes_.size(); }
    uint32_t centroid(std::size_t lane) const { return lanes_[lane]; }

    CentroidLanes(const CentroidLanes&) = delete;
    CentroidLanes& operator=(const CentroidLanes&) = delete;

private:
    std::vector<uint32_t> lanes_;
    std::vector<float> storage_;  // the transposed copy plus alignment slack
    LaneView view_;
};

}  // namespace qor
