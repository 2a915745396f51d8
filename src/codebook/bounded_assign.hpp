// Exact k-means assignment that skips distance evaluations which bounds
// prove cannot change a row's label. The centroids are split once into a
// few groups of nearby centroids; each row keeps an upper bound on the
// distance to its own centroid and, per group, a lower bound on the distance
// to every other centroid of the group. Each pass moves the bounds by the
// centroid drift (the largest of a group for its bound); a row whose bounds
// still separate is skipped, otherwise its own distance is evaluated, then
// only the groups whose bound does not exclude them (Yinyang k-means with
// Hamerly's test on half the distance to the nearest other centroid).
// When it pays, the distance from each centroid to the nearest centroid of
// every group excludes more: a row within u of centroid b is at least
// near(b, g) - u from every other centroid of group g. Passes without bounds
// use it too: a row's likeliest group is evaluated first, and its best
// centroid there excludes the groups it can.
//
// Every label equals what nearest_centroid gives for the row bit for bit.
// The bounds hold for exact (real) Euclidean distances; a comparison with a
// computed float distance goes through an error bound that covers the worst
// rounding of that computation, and a row is evaluated whenever the margin
// does not decide. A skipped centroid is always provably strictly farther
// (in the computed float distances) than the row's label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codebook/centroid_groups.hpp"
#include "parallel/cpu_features.hpp"

namespace qor {

// Rounding of the computed squared distance D' = fl(sum (x_j - c_j)^2) over
// d terms against the exact value D: D(1 - rel) - abs <= D' <= D(1 + rel) +
// abs whenever D' is finite, and D' is infinite only if D(1 + rel) + abs
// reaches FLT_MAX. rel = gamma_{d+2} (d - 1 sums, one difference and one
// square per term), abs covers an underflowing square per term.
struct DistanceRounding {
    double rel = 0.0;
    double abs = 0.0;
    bool usable = true;  // false when d is so large that the bound degenerates

    explicit DistanceRounding(uint64_t d);
    // Bounds on the exact Euclidean distance from a computed squared one.
    double upper_distance(float computed) const;
    double lower_distance(float computed) const;
    // Bounds on the computed squared distance from exact Euclidean ones.
    double upper_computed(double distance) const;
    double lower_computed(double distance) const;
};

class BoundedAssignment {
public:
    // The n x d row-major `rows` must outlive this object. `isa` picks the
    // distance kernel. At most `max_groups` groups (0: default_max_groups).
    // With `divisors` (n values), row i is read as rows[i] / divisors[i]
    // (see divide_row), a chunk at a time, instead of holding such a copy.
    BoundedAssignment(const float* rows, uint64_t n, uint64_t d, uint64_t k, parallel::Isa isa,
                      uint64_t max_groups = 0, const float* divisors = nullptr);

    // Most groups by default: d / 8 within [1, 16]. A lower bound takes 2
    // bytes and the upper one 4, so the bounds of a row take at most
    // d / 4 + 4 bytes, about a sixteenth of the row itself.
    static uint64_t default_max_groups(uint64_t d);

    // Lower bounds kept per row (one per centroid group).
    uint64_t groups() const { return groups_; }

    // One assignment pass against the k x d `centroids`: labels[i] = the
    // nearest centroid of row i. `previous` holds the labels of the last
    // pass (ignored on the first). The groups are formed from the centroids
    // of the first pass. Returns the number of rows whose label
    // differs from `previous`. Parallel over rows; the result does not
    // depend on the worker count.
    //
    // The first pass, and the first after forget_bounds, has no bounds to
    // start from: it evaluates every distance, or with enough rows per
    // centroid every group not excluded by the centroid-to-centroid
    // distances, and sets tight bounds. A chunk of rows whose open groups hold
    // most of the lanes evaluates all of them for its undecided rows (the
    // bounds would not pay there; set_force_full_chunks forces that, a test
    // hook). Labels are the same either way.
    uint64_t assign(const float* centroids, const uint32_t* previous, uint32_t* labels);
    void set_force_full_chunks(bool on) { force_full_chunks_ = on; }

    // The caller assigned a pass by other means (a plain full scan): the
    // bounds no longer describe the centroids, the next pass sets new ones.
    void forget_bounds() {
        have_bounds_ = false;
        have_labels_ = true;
    }

    // Whether the last pass set fresh bounds without earlier ones.
    bool last_pass_set_bounds() const { return last_set_bounds_; }

    // Distance evaluations of the last pass (n * k for a full scan; k * k
    // more when it compared the centroids with each other), and how many
    // row-to-centroid ones the bounds could not exclude (fewer when chunks
    // evaluated every centroid because that was cheaper).
    uint64_t evaluated() const { return evaluated_; }
    uint64_t needed() const { return needed_; }

private:
    struct Pass;   // what one pass shares with every chunk of rows
    struct Chunk;  // one task's working space and the phases over a chunk

    const float* rows_;
    const float* divisors_;
    uint64_t n_, d_, k_;
    parallel::Isa isa_;
    DistanceRounding rounding_;
    bool have_bounds_ = false;
    bool groups_formed_ = false;
    bool last_set_bounds_ = false;
    bool force_full_chunks_ = false;
    uint64_t groups_ = 1;
    CentroidGroups split_;
    std::vector<float> upper_;     // per row: >= exact distance to its centroid
    std::vector<uint16_t> lower_;  // per row and group: <= exact distance to every other finite
                                   // centroid of it (narrow_down)
    std::vector<float> last_centroids_;
    bool have_labels_ = false;     // `previous` holds the labels of an earlier pass
    uint64_t last_evaluated_ = 0;  // row-to-centroid evaluations of the last pass
    uint64_t evaluated_ = 0;
    uint64_t needed_ = 0;
};

}  // namespace qor
