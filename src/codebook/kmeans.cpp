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

// The rows k-means reads: x itself, or with divisors row i is x[i] /
// divisors[i], formed where it is read.
struct RowSource {
    const float* x;
    const float* divisors;  // null: the rows as they are
    uint64_t n, d;

    // Row i, in `buf` (d values) or x[i] itself.
    const float* row(uint64_t i, float* buf) const {
        if (divisors == nullptr) return x + i * d;
        divide_row(x + i * d, d, divisors[i], buf);
        return buf;
    }
};

// Initial centroids: the head of a seeded shuffle of the rows. The whole
// permutation is shuffled so the draws do not depend on k.
std::vector<float> initial_centroids(const RowSource& rows, uint64_t k_eff, uint64_t seed) {
    const uint64_t d = rows.d;
    ChaChaRng rng(seed);
    const std::vector<uint64_t> perm = shuffled_indices(rows.n, rng);
    std::vector<float> centroids(static_cast<std::size_t>(k_eff * d));
    std::vector<float> buf(static_cast<std::size_t>(d));
    for (uint64_t c = 0; c < k_eff; ++c)
        std::copy_n(rows.row(perm[c], buf.data()), d, centroids.begin() + static_cast<std::ptrdiff_t>(c * d));
    return centroids;
}

// A plain full scan: labels[i] = nearest_centroid(row i), in parallel.
void plain_pass(const RowSource& rows, const float* centroids, uint64_t k_eff, parallel::Isa isa,
                uint32_t* labels) {
    const uint64_t d = rows.d;
    const PreparedCentroids prepared(centroids, k_eff, d, isa);
    if (rows.divisors == nullptr) {
        prepared.nearest_parallel(rows.x, rows.n, labels);
        return;
    }
    // Blocks of normalised rows; the labels do not depend on the block size.
    const auto block_rows = [&](std::size_t b, std::size_t e) {
        std::vector<float> block(NORMALIZED_BLOCK * d);
        for (std::size_t i0 = b; i0 < e; i0 += NORMALIZED_BLOCK) {
            const std::size_t m = std::min(NORMALIZED_BLOCK, e - i0);
            for (std::size_t r = 0; r < m; ++r) rows.row(i0 + r, block.data() + r * d);
            prepared.nearest(block.data(), m, labels + i0);
        }
    };
    parallel::parallel_for(static_cast<std::size_t>(rows.n), NORMALIZED_BLOCK, block_rows);
}

// Each centroid becomes the mean of its rows; an empty cluster keeps its
// centroid. On the calling thread, rows in increasing order, so the float
// sums are the same whatever the worker count.
void update_centroids(const RowSource& rows, const uint32_t* labels, uint64_t k_eff,
                      std::vector<float>& centroids) {
    const uint64_t d = rows.d;
    std::vector<float> sums(static_cast<std::size_t>(k_eff * d), 0.0f);
    std::vector<uint64_t> counts(static_cast<std::size_t>(k_eff), 0);
    std::vector<float> buf(static_cast<std::size_t>(d));
    for (uint64_t i = 0; i < rows.n; ++i) {
        const uint64_t l = labels[i];
        float* s = sums.data() + l * d;
        const float* r = rows.row(i, buf.data());
        for (uint64_t j = 0; j < d; ++j) s[j] = s[j] + r[j];
        ++counts[l];
    }
    for (uint64_t c = 0; c < k_eff; ++c) {
        if (counts[c] == 0) continue;
        const auto count = static_cast<float>(counts[c]);
        for (uint64_t j = 0; j < d; ++j) centroids[c * d + j] = sums[c * d + j] / count;
    }
}

// When bounded passes give way to plain full scans. Bounds pay only when
// they spare most distances. When a pass with bounds still needed more than
// PLAIN_SHARE of them, right after the bounds were set or after another
// such pass, plain full scans follow (the full-scan kernel, cheaper per
// distance than the bounded bookkeeping): 1, 2, 4, ... up to PLAIN_RUN_MAX
// passes in a row while the bounds keep failing. Then a pass sets fresh
// bounds without the old ones and the next one tries them again. The rule
// reads only counts, so the pass kinds (and, as always, every label) are
// the same on every run.
class PassPolicy {
public:
    // Whether the next pass is a plain full scan by this rule.
    bool plain_due() const { return plain_left_ > 0; }

    // Records a pass: 'p' plain, 'i' bounds set afresh, 'b' pruned by bounds
    // that needed `needed` of the `full` distances of a full scan.
    void record(char kind, uint64_t needed, uint64_t full) {
        if (kind == 'p' && plain_left_ > 0) --plain_left_;
        if (kind == 'b') {
            const bool failed = static_cast<double>(needed) > PLAIN_SHARE * static_cast<double>(full);
            if (failed && (last_kind_ == 'i' || last_failed_)) {
                plain_left_ = plain_run_;
                plain_run_ = std::min(plain_run_ * 2, PLAIN_RUN_MAX);
            } else if (!failed) {
                plain_run_ = 1;
            }
            last_failed_ = failed;
        }
        last_kind_ = kind;
    }

private:
    static constexpr double PLAIN_SHARE = 0.7;
    static constexpr uint64_t PLAIN_RUN_MAX = 8;
    uint64_t plain_left_ = 0, plain_run_ = 1;
    char last_kind_ = 'p';
    bool last_failed_ = false;
};

uint64_t count_changed(const std::vector<uint32_t>& labels, const std::vector<uint32_t>& previous) {
    uint64_t changed = 0;
    for (std::size_t i = 0; i < labels.size(); ++i) changed += labels[i] != previous[i] ? 1 : 0;
    return changed;
}

void record_trace(KMeansTrace* trace, uint64_t evaluated, uint64_t changed, char kind) {
    if (trace == nullptr) return;
    trace->evaluated.push_back(evaluated);
    trace->changed.push_back(changed);
    trace->kind.push_back(kind);
}

}  // namespace

KMeansResult kmeans(const MatrixRef& data, uint64_t k, uint64_t max_iter, uint64_t seed,
                    const KMeansOptions& options) {
    const uint64_t n = data.rows, d = data.cols;
    const uint64_t k_eff = std::min(k, n);
    std::vector<float> copy;
    std::vector<float> divisors;
    RowSource rows{contiguous_rows(data, copy), nullptr, n, d};
    if (options.normalize) {
        divisors = row_divisors(MatrixRef::contiguous(rows.x, n, d));
        rows.divisors = divisors.data();
    }
    std::vector<float> centroids = initial_centroids(rows, k_eff, seed);

    std::vector<uint32_t> prev(static_cast<std::size_t>(n), 0);
    std::vector<uint32_t> labels(static_cast<std::size_t>(n), 0);
    const parallel::Isa isa = options.force_isa ? options.isa : parallel::best_isa();
    const bool bounded = options.assignment == KMeansAssignment::Bounded ||
                         (options.assignment == KMeansAssignment::Auto && !full_scan_requested());
    std::optional<BoundedAssignment> fast;
    if (bounded && n > 0) fast.emplace(rows.x, n, d, k_eff, isa, options.max_groups, rows.divisors);
    PassPolicy policy;

    uint64_t passes = 0;
    for (uint64_t t = 0; t < max_iter; ++t) {
        check_interrupt();
        const bool hook = t < 64;
        uint64_t changed = 0, evaluated = n * k_eff;
        char kind = 'p';
        if (!fast || policy.plain_due() || (hook && (options.plain_passes >> t & 1))) {
            plain_pass(rows, centroids.data(), k_eff, isa, labels.data());
            changed = count_changed(labels, prev);
            if (fast) fast->forget_bounds();
        } else {
            fast->set_force_full_chunks(hook && (options.full_chunks >> t & 1));
            changed = fast->assign(centroids.data(), prev.data(), labels.data());
            evaluated = fast->evaluated();
            kind = fast->last_pass_set_bounds() ? 'i' : 'b';
        }
        policy.record(kind, fast ? fast->needed() : 0, n * k_eff);
        ++passes;
        record_trace(options.trace, evaluated, changed, kind);
        report_progress([&] { return iteration_line(t, max_iter, changed, n); });
        if (changed == 0) break;  // converged; this pass does not move the centroids
        update_centroids(rows, labels.data(), k_eff, centroids);
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
