// Exact k-means assignment that skips distance evaluations which bounds
// prove cannot change a row's label (Hamerly's bounds: per row an upper bound
// on the distance to its own centroid and a lower bound on the distance to
// every other centroid, moved by the centroid drift each pass, plus half the
// distance from each centroid to its nearest neighbour).
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
    // distance kernel for rows that need every distance.
    BoundedAssignment(const float* rows, uint64_t n, uint64_t d, uint64_t k, parallel::Isa isa);

    // One assignment pass against the k x d `centroids`: labels[i] = the
    // nearest centroid of row i. `previous` holds the labels of the last
    // pass (ignored on the first). Returns the number of rows whose label
    // differs from `previous`. Parallel over rows; the result does not
    // depend on the worker count.
    uint64_t assign(const float* centroids, const uint32_t* previous, uint32_t* labels);

    // Distance evaluations of the last pass (n * k for a full scan).
    uint64_t evaluated() const { return evaluated_; }

private:
    const float* rows_;
    uint64_t n_, d_, k_;
    parallel::Isa isa_;
    DistanceRounding rounding_;
    bool have_bounds_ = false;
    std::vector<float> upper_;      // per row: >= exact distance to its centroid
    std::vector<float> lower_;      // per row: <= exact distance to every other finite centroid
    std::vector<float> last_centroids_;
    uint64_t evaluated_ = 0;
};

}  // namespace qor
