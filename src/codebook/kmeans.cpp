#include "codebook/kmeans.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "codebook/bounded_assign.hpp"
#include "codebook/nearest.hpp"
#include "codebook/rng.hpp"
#include "common/text.hpp"
#include "parallel/call_hooks.hpp"

namespace qor {

std::vector<float> normalize_rows(const MatrixRef& m) {
    const uint64_t rows = m.rows, cols = m.cols;
    std::vector<float> out(static_cast<std::size_t>(rows * cols));
    for (uint64_t i = 0; i < rows; ++i) {
        float* dst = out.data() + i * cols;
        for (uint64_t j = 0; j < cols; ++j) dst[j] = m.at(i, j);
        float sum = 0.0f;
        for (uint64_t j = 0; j < cols; ++j) {
            const float sq = dst[j] * dst[j];
            sum = sum + sq;
        }
        float norm = std::sqrt(sum);
        if (norm < NORM_FLOOR) norm = NORM_FLOOR;  // false for NaN: a NaN norm stays NaN
        for (uint64_t j = 0; j < cols; ++j) dst[j] = dst[j] / norm;
    }
    return out;
}

uint32_t nearest_centroid(std::span<const float> vec, const MatrixRef& centroids) {
    float best = NEAREST_START;
    uint32_t best_index = 0;
    for (uint64_t c = 0; c < centroids.rows; ++c) {
        float dist = -0.0f;
        for (uint64_t j = 0; j < centroids.cols; ++j) {
            const float diff = vec[j] - centroids.at(c, j);
            const float sq = diff * diff;
            dist = dist + sq;
        }
        if (best > dist) {
            best = dist;
            best_index = static_cast<uint32_t>(c);
        }
    }
    return best_index;
}

namespace {

// "iteration 3 of 30: 1234 of 100000 labels changed" for pass `t` (0-based);
// the first pass reports every label as assigned.
std::string iteration_line(uint64_t t, uint64_t max_iter, uint64_t changed, uint64_t n) {
    const std::string head = "iteration " + num(t + 1) + " of " + num(max_iter) + ": ";
    if (t == 0) return head + num(n) + " labels assigned";
    return head + num(changed) + " of " + num(n) + " labels changed" + (changed == 0 ? ", converged" : "");
}

// The rows of `data` as one contiguous row-major block: the caller's memory
// when it already is one, otherwise an exact copy in `copy`.
const float* contiguous_rows(const MatrixRef& data, std::vector<float>& copy) {
    if (data.c_contiguous()) return data.data;
    copy.resize(static_cast<std::size_t>(data.rows * data.cols));
    for (uint64_t i = 0; i < data.rows; ++i)
        for (uint64_t j = 0; j < data.cols; ++j) copy[i * data.cols + j] = data.at(i, j);
    return copy.data();
}

bool full_scan_requested() {
    const char* v = std::getenv("QOR_KMEANS_FULL_SCAN");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

}  // namespace

KMeansResult kmeans(const MatrixRef& data, uint64_t k, uint64_t max_iter, uint64_t seed,
                    const KMeansOptions& options) {
    const uint64_t n = data.rows, d = data.cols;
    const uint64_t k_eff = std::min(k, n);
    std::vector<float> copy;
    const float* x = contiguous_rows(data, copy);

    // Initial centroids: the head of a seeded shuffle of the rows. The whole
    // permutation is shuffled so the draws do not depend on k.
    ChaChaRng rng(seed);
    const std::vector<uint64_t> perm = shuffled_indices(n, rng);
    std::vector<float> centroids(static_cast<std::size_t>(k_eff * d));
    for (uint64_t c = 0; c < k_eff; ++c)
        std::copy_n(x + perm[c] * d, d, centroids.begin() + static_cast<std::ptrdiff_t>(c * d));

    std::vector<uint32_t> prev(static_cast<std::size_t>(n), 0);
    std::vector<uint32_t> labels(static_cast<std::size_t>(n), 0);
    std::vector<float> sums(static_cast<std::size_t>(k_eff * d));
    std::vector<uint64_t> counts(static_cast<std::size_t>(k_eff));
    const parallel::Isa isa = options.force_isa ? options.isa : parallel::best_isa();
    const bool bounded = options.assignment == KMeansAssignment::Bounded ||
                         (options.assignment == KMeansAssignment::Auto && !full_scan_requested());
    std::optional<BoundedAssignment> fast;
    if (bounded && n > 0) fast.emplace(x, n, d, k_eff, isa);

    uint64_t passes = 0;
    for (uint64_t t = 0; t < max_iter; ++t) {
        check_interrupt();
        // Assignment: labels[i] = nearest_centroid(row i), in parallel.
        uint64_t changed = 0, evaluated = n * k_eff;
        if (fast) {
            changed = fast->assign(centroids.data(), prev.data(), labels.data());
            evaluated = fast->evaluated();
        } else {
            const PreparedCentroids prepared(centroids.data(), k_eff, d, isa);
            prepared.nearest_parallel(x, n, labels.data());
            for (uint64_t i = 0; i < n; ++i) changed += labels[i] != prev[i] ? 1 : 0;
        }
        ++passes;
        if (options.trace != nullptr) {
            options.trace->evaluated.push_back(evaluated);
            options.trace->changed.push_back(changed);
        }
        report_progress([&] { return iteration_line(t, max_iter, changed, n); });
        if (changed == 0) break;  // converged; this pass does not move the centroids

        // Update on the calling thread, rows in increasing order, so the
        // float sums are the same whatever the worker count.
        std::fill(sums.begin(), sums.end(), 0.0f);
        std::fill(counts.begin(), counts.end(), 0);
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t l = labels[i];
            float* s = sums.data() + l * d;
            const float* row = x + i * d;
            for (uint64_t j = 0; j < d; ++j) s[j] = s[j] + row[j];
            ++counts[l];
        }
        for (uint64_t c = 0; c < k_eff; ++c) {
            if (counts[c] == 0) continue;  // an empty cluster keeps its centroid
            const auto count = static_cast<float>(counts[c]);
            for (uint64_t j = 0; j < d; ++j) centroids[c * d + j] = sums[c * d + j] / count;
        }
        prev.swap(labels);
    }
    // After a full run `prev` holds the last labels (swapped in); after an
    // early stop both arrays hold them; with max_iter == 0 they are all 0.

    KMeansResult result;
    result.centroids = normalize_rows(MatrixRef::contiguous(centroids.data(), k_eff, d));
    result.k = k_eff;
    result.d = d;
    result.labels = std::move(prev);
    result.iterations = passes;
    return result;
}

}  // namespace qor
