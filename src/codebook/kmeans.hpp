// Seeded k-means and the two numeric routines the codebook is built on: row
// normalisation and nearest-centroid search.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/matrix.hpp"
#include "parallel/cpu_features.hpp"

namespace qor {

// Smallest norm a row is divided by (bits 0x322BCC77); a zero row stays zero.
inline constexpr float NORM_FLOOR = 1e-8f;

// Starting best distance of a nearest-centroid search, the largest finite
// float (bits 0x7F7FFFFF): a distance that is not below it (infinite, NaN or
// this value itself) never wins.
inline constexpr float NEAREST_START = 3.4028235e38f;

// Result of kmeans.
//   centroids  k x d floats, row-major, every row normalised
//   labels     n centroid indices (below k), from the last assignment step
//   iterations assignment passes run (at most max_iter)
struct KMeansResult {
    std::vector<float> centroids;
    uint64_t k = 0;
    uint64_t d = 0;
    std::vector<uint32_t> labels;
    uint64_t iterations = 0;
};

// How the assignment step finds each row's nearest centroid. Both give the
// same labels bit for bit; Bounded skips the distances that bounds prove
// cannot change a label, FullScan evaluates every row against every
// centroid. Auto is Bounded unless QOR_KMEANS_FULL_SCAN=1 is set in the
// environment (read at every call, for diagnosis and benchmarks).
enum class KMeansAssignment { Auto, FullScan, Bounded };

// Per assignment pass: distance evaluations (n * k_eff for a full scan),
// rows whose label changed, and how the pass ran: 'p' a plain full scan,
// 'i' every distance with fresh bounds set, 'b' pruned by the bounds.
struct KMeansTrace {
    std::vector<uint64_t> evaluated;
    std::vector<uint64_t> changed;
    std::string kind;
};

struct KMeansOptions {
    KMeansAssignment assignment = KMeansAssignment::Auto;
    bool force_isa = false;  // use `isa` instead of best_isa()
    parallel::Isa isa = parallel::Isa::Scalar;
    KMeansTrace* trace = nullptr;  // filled when not null
    // Bounded assignment only. At most this many centroid groups (0: the
    // default for the dimension); and test hooks that change no result: bit
    // t (t < 64) of plain_passes runs pass t as a plain full scan (the next
    // pass then sets fresh bounds from every distance), bit t of
    // full_chunks makes pass t evaluate every centroid for each row its
    // bounds do not decide.
    uint64_t max_groups = 0;
    // Cluster normalize_rows(data) instead of data, with the same bits, but
    // normalise rows as they are read rather than holding a normalised copy.
    bool normalize = false;
    uint64_t plain_passes = 0;
    uint64_t full_chunks = 0;
};

// A new contiguous row-major copy of m with every row divided (true
// division) by max(norm, NORM_FLOOR); norm = sqrtf of the float sum of
// squares in increasing column order. A NaN norm stays NaN.
std::vector<float> normalize_rows(const MatrixRef& m);

// The divisor normalize_rows uses for each row of m: max(norm, NORM_FLOOR),
// NaN for a NaN norm.
std::vector<float> row_divisors(const MatrixRef& m);

// dst[j] = row[j] / divisor for j < cols: a row of normalize_rows given its
// divisor. `row` and `dst` do not overlap.
void divide_row(const float* row, uint64_t cols, float divisor, float* dst);

// Index of the centroid (row of `centroids`) at the smallest squared
// Euclidean distance from `vec`: float sums from -0.0 in increasing dimension
// order, each difference, square and sum rounded separately; ties go to the
// lower index, NaN distances never win, and 0 when no distance is below
// NEAREST_START. `vec` holds at least centroids.cols values. This is the
// reference every vectorised kernel must reproduce bit for bit.
uint32_t nearest_centroid(std::span<const float> vec, const MatrixRef& centroids);

// Seeded Lloyd k-means over the n x d matrix `data`: k_eff = min(k, n)
// centroids taken from a ChaCha12 shuffle of the rows, then at most max_iter
// passes of parallel assignment and sequential mean update; stops early when
// an assignment repeats the previous labels (all zeros before the first
// pass). Empty clusters keep their centroid. Deterministic for a given
// input and seed whatever the number of worker threads, the kernel and the
// assignment method (options.assignment): every label is the one
// nearest_centroid gives against that pass's centroids.
KMeansResult kmeans(const MatrixRef& data, uint64_t k, uint64_t max_iter, uint64_t seed,
                    const KMeansOptions& options = {});

}  // namespace qor
