#include "router/scoring.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "common/errors.hpp"
#include "common/text.hpp"
#include "parallel/cpu_features.hpp"
#include "parallel/thread_pool.hpp"
#include "router/router.hpp"

namespace qor {

namespace {

constexpr float NO_MATCH_DISTANCE = std::numeric_limits<float>::max();
constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

// Candidates per task: large enough that a task outweighs its scheduling,
// small enough that two cores share the tail of the list evenly.
constexpr std::size_t SCORE_GRAIN = 256;

// Candidates handed to the kernel at once: enough for its document groups
// and for the prefetches issued while the batch is gathered to land.
constexpr std::size_t KERNEL_BATCH = 32;

}  // namespace

CodeMajorSims to_code_major(const float* sims, uint64_t q, uint64_t n_fine) {
    CodeMajorSims out;
    out.q = q;
    out.n_fine = n_fine;
    out.stride = code_major_stride(q);
    std::size_t total = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(n_fine), out.stride, &total))
        throw InternalFailure("similarity matrix of " + num(q) + " x " + num(n_fine) +
                              " does not fit in memory");
    // Padding lanes hold -inf so a vector max over them is well defined;
    // the sums never read them. One extra row of -inf stands in for codes
    // at or above n_fine, so the vector kernels skip them without a branch.
    if (__builtin_add_overflow(total, out.stride, &total))
        throw InternalFailure("similarity matrix of " + num(q) + " x " + num(n_fine) +
                              " does not fit in memory");
    out.data.assign(total, NEG_INF);
    for (uint64_t j = 0; j < q; ++j) {
        const float* row = sims + j * n_fine;
        float* col = out.data.data() + j;
        for (uint64_t c = 0; c < n_fine; ++c) col[c * out.stride] = row[c];
    }
    return out;
}

float proxy_distance_code_major_scalar(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                                       const uint16_t* codes, std::size_t n_codes) {
    if (q == 0 || n_codes == 0) return NO_MATCH_DISTANCE;
    float sum = 0.0f;
    for (uint64_t j0 = 0; j0 < q; j0 += CODE_MAJOR_LANES) {
        float m[CODE_MAJOR_LANES];
        std::fill(m, m + CODE_MAJOR_LANES, NEG_INF);
        for (std::size_t i = 0; i < n_codes; ++i) {
            const uint64_t c = codes[i];
            if (c >= n_fine) continue;
            const float* p = sims + c * stride + j0;
            for (std::size_t l = 0; l < CODE_MAJOR_LANES; ++l)
                if (p[l] > m[l]) m[l] = p[l];  // NaN compares false and never wins
        }
        const uint64_t lanes = std::min<uint64_t>(CODE_MAJOR_LANES, q - j0);
        // m is never NaN, so -inf alone marks a row without a valid code.
        for (uint64_t l = 0; l < lanes; ++l)
            if (m[l] != NEG_INF) sum += m[l];
    }
    return 1.0f - sum / static_cast<float>(q);
}

void proxy_distances_code_major_scalar(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                                       const DocCodes* docs, std::size_t n_docs, float* w) {
    for (std::size_t i = 0; i < n_docs; ++i)
        w[i] = proxy_distance_code_major_scalar(sims, stride, q, n_fine, docs[i].codes, docs[i].n);
}

ProxyKernel proxy_kernel_for(parallel::Isa isa) {
    return parallel::pick_kernel<ProxyKernel>(isa, &proxy_distances_code_major_scalar,
                                              QOR_SIMD_ONLY(&proxy_distances_code_major_avx2),
                                              QOR_SIMD_ONLY(&proxy_distances_code_major_avx512));
}

ProxyKernel proxy_kernel() {
    static const ProxyKernel kernel = proxy_kernel_for(parallel::best_isa());
    return kernel;
}

std::vector<float> score_candidates(const QorRouterState& state, const CodeMajorView& sims,
                                    std::span<const uint32_t> query_ctop,
                                    std::span<const uint32_t> candidates) {
    const FlatDocCodes& flat = state.flat_codes;
    const std::size_t n_docs =
        std::min({state.doc_profiles.size(), flat.offsets.size(), flat.lengths.size()});
    const ProxyKernel kernel = proxy_kernel();
    std::vector<float> scores(candidates.size());
    // Workers never throw: a candidate that breaks the state's invariants is
    // recorded (lowest position wins, so the message does not depend on the
    // schedule) and reported after the join.
    std::atomic<uint64_t> first_bad{std::numeric_limits<uint64_t>::max()};

    parallel::parallel_for(candidates.size(), SCORE_GRAIN, [&](std::size_t begin, std::size_t end) {
        DocCodes docs[KERNEL_BATCH];
        float w[KERNEL_BATCH];
        for (std::size_t b0 = begin; b0 < end; b0 += KERNEL_BATCH) {
            const std::size_t bn = std::min(KERNEL_BATCH, end - b0);
            for (std::size_t k = 0; k < bn; ++k) {
                const std::size_t i = b0 + k;
                const uint32_t d = candidates[i];
                const bool known = d < n_docs;
                const uint64_t start = known ? flat.offsets[d] : 0;
                const uint64_t length = known ? flat.lengths[d] : 0;
                if (!known || start + length > flat.codes.size()) {
                    uint64_t seen = first_bad.load(std::memory_order_relaxed);
                    while (i < seen && !first_bad.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
                    }
                    docs[k] = DocCodes{nullptr, 0};
                    continue;
                }
                docs[k] = DocCodes{flat.codes.data() + start, static_cast<std::size_t>(length)};
                // Candidates jump around the collection: start fetching the
                // code run and the C_top while the rest of the batch is
                // gathered.
                __builtin_prefetch(docs[k].codes);
                __builtin_prefetch(state.doc_profiles[d].ctop.data());
            }
            kernel(sims.data, sims.stride, sims.q, sims.n_fine, docs, bn, w);
            for (std::size_t k = 0; k < bn; ++k) {
                const uint32_t d = candidates[b0 + k];
                // A broken candidate's slot is never read: the call fails below.
                const uint64_t overlap =
                    d < n_docs ? ctop_overlap(query_ctop, state.doc_profiles[d].ctop) : 0;
                scores[b0 + k] = proxy_score(w[k], overlap, query_ctop.size());
            }
        }
    });

    const uint64_t bad = first_bad.load();
    if (bad != std::numeric_limits<uint64_t>::max()) {
        const uint32_t d = candidates[bad];
        if (d >= n_docs)
            throw InternalFailure("router state is inconsistent: candidate document " + num(d) +
                                  " has no profile or code run (" + num(n_docs) + " complete documents)");
        throw InternalFailure("router state is inconsistent: code run of document " + num(d) + " ends at " +
                              num(uint64_t{flat.offsets[d]} + flat.lengths[d]) + ", past the " +
                              num(flat.codes.size()) + " stored codes");
    }
    return scores;
}

std::vector<uint32_t> rank_scores(std::span<const float> scores, uint64_t keep) {
    const std::size_t n = scores.size();
    if (n >= 2) {
        for (std::size_t i = 0; i < n; ++i)
            if (std::isnan(scores[i]))
                throw InternalFailure("proxy scores cannot be ordered: the score at candidate position " +
                                      num(i) + " is NaN");
    }
    const std::size_t k = static_cast<std::size_t>(std::min<uint64_t>(n, keep));
    if (k == 0) return {};
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    if (n == 1) return order;
    // Higher score first, then lower position: a total order (no NaN is
    // left), so any sort gives exactly what a stable sort would.
    const auto better = [&](uint32_t a, uint32_t b) {
        return scores[a] > scores[b] || (scores[a] == scores[b] && a < b);
    };
    if (k < n) {
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(), better);
        order.resize(k);
    }
    std::sort(order.begin(), order.end(), better);
    return order;
}

}  // namespace qor
