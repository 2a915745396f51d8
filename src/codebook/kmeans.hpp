// Seeded Lloyd k-means, the training step of the codebook.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codebook/normalize.hpp"
#include "common/matrix.hpp"
#include "parallel/cpu_features.hpp"

namespace qor {

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
