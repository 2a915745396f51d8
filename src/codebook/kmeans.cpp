#include "codebook/kmeans.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "codebook/bounded_assign.hpp"
#include "codebook/nearest.hpp"
#include "codebook/normalize.hpp"
#include "codebook/rng.hpp"
#include "common/text.hpp"
#include "parallel/call_hooks.hpp"
#include "parallel/thread_pool.hpp"

namespace qor {

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

// Rows normalised per block of a plain pass over rows read with divisors.
constexpr std::size_t NORMALIZED_BLOCK = 256;

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
    // With options.normalize, row i is x[i] / divisors[i], formed where it is
    // read: `row` gives it (in `buf`, d values) or x[i] itself.
    std::vector<float> divisors;
    if (options.normalize) divisors = row_divisors(MatrixRef::contiguous(x, n, d));
    const float* div = options.normalize ? divisors.data() : nullptr;
    const auto row = [&](uint64_t i, float* buf) -> const float* {
        if (div == nullptr) return x + i * d;
        divide_row(x + i * d, d, div[i], buf);
        return buf;
    };
    std::vector<float> row_buf(static_cast<std::size_t>(d));

    // Initial centroids: the head of a seeded shuffle of the rows. The whole
    // permutation is shuffled so the draws do not depend on k.
    ChaChaRng rng(seed);
    const std::vector<uint64_t> perm = shuffled_indices(n, rng);
    std::vector<float> centroids(static_cast<std::size_t>(k_eff * d));
    for (uint64_t c = 0; c < k_eff; ++c)
        std::copy_n(row(perm[c], row_buf.data()), d, centroids.begin() + static_cast<std::ptrdiff_t>(c * d));

    std::vector<uint32_t> prev(static_cast<std::size_t>(n), 0);
    std::vector<uint32_t> labels(static_cast<std::size_t>(n), 0);
    std::vector<float> sums(static_cast<std::size_t>(k_eff * d));
    std::vector<uint64_t> counts(static_cast<std::size_t>(k_eff));
    const parallel::Isa isa = options.force_isa ? options.isa : parallel::best_isa();
    const bool bounded = options.assignment == KMeansAssignment::Bounded ||
                         (options.assignment == KMeansAssignment::Auto && !full_scan_requested());
    std::optional<BoundedAssignment> fast;
    if (bounded && n > 0) fast.emplace(x, n, d, k_eff, isa, options.max_groups, div);

    // Bounds pay only when they spare most distances. When a pass with
    // bounds still needed more than PLAIN_SHARE of them, right after the
    // bounds were set or after another such pass, plain full scans follow
    // (the full-scan kernel, cheaper per distance than the bounded
    // bookkeeping): 1, 2, 4, ... up to PLAIN_RUN_MAX passes in a row while
    // the bounds keep failing. Then a pass sets fresh bounds without the
    // old ones and the next one tries them again. The rule reads only
    // counts, so the pass kinds (and, as always, every label) are the same
    // on every run.
    constexpr double PLAIN_SHARE = 0.7;
    constexpr uint64_t PLAIN_RUN_MAX = 8;
    uint64_t plain_left = 0, plain_run = 1;
    char last_kind = 'p';
    bool last_failed = false;

    uint64_t passes = 0;
    for (uint64_t t = 0; t < max_iter; ++t) {
        check_interrupt();
        // Assignment: labels[i] = nearest_centroid(row i), in parallel.
        uint64_t changed = 0, evaluated = n * k_eff;
        const bool hook = t < 64;
        const bool plain = !fast || plain_left > 0 || (hook && (options.plain_passes >> t & 1));
        char kind = 'p';
        if (plain) {
            const PreparedCentroids prepared(centroids.data(), k_eff, d, isa);
            if (div == nullptr) {
                prepared.nearest_parallel(x, n, labels.data());
            } else {
                // Blocks of normalised rows; the labels do not depend on the block size.
                const auto block_rows = [&](std::size_t b, std::size_t e) {
                    std::vector<float> block(NORMALIZED_BLOCK * d);
                    for (std::size_t i0 = b; i0 < e; i0 += NORMALIZED_BLOCK) {
                        const std::size_t m = std::min(NORMALIZED_BLOCK, e - i0);
                        for (std::size_t r = 0; r < m; ++r)
                            divide_row(x + (i0 + r) * d, d, div[i0 + r], block.data() + r * d);
                        prepared.nearest(block.data(), m, labels.data() + i0);
                    }
                };
                parallel::parallel_for(static_cast<std::size_t>(n), NORMALIZED_BLOCK, block_rows);
            }
            for (uint64_t i = 0; i < n; ++i) changed += labels[i] != prev[i] ? 1 : 0;
            if (fast) fast->forget_bounds();
            if (plain_left > 0) --plain_left;
        } else {
            fast->set_force_full_chunks(hook && (options.full_chunks >> t & 1));
            changed = fast->assign(centroids.data(), prev.data(), labels.data());
            evaluated = fast->evaluated();
            kind = fast->last_pass_set_bounds() ? 'i' : 'b';
            if (kind == 'b') {
                const bool failed =
                    static_cast<double>(fast->needed()) > PLAIN_SHARE * static_cast<double>(n * k_eff);
                if (failed && (last_kind == 'i' || last_failed)) {
                    plain_left = plain_run;
                    plain_run = std::min(plain_run * 2, PLAIN_RUN_MAX);
                } else if (!failed) {
                    plain_run = 1;
                }
                last_failed = failed;
            }
        }
        ++passes;
        last_kind = kind;
        if (options.trace != nullptr) {
            options.trace->evaluated.push_back(evaluated);
            options.trace->changed.push_back(changed);
            options.trace->kind.push_back(kind);
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
            const float* r = row(i, row_buf.data());
            for (uint64_t j = 0; j < d; ++j) s[j] = s[j] + r[j];
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
