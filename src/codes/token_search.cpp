#include "codes/token_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "codes/token_lists.hpp"
#include "common/errors.hpp"
#include "parallel/candidate_split.hpp"
#include "router/similarity.hpp"

namespace qor {

namespace {

// The largest similarity matrix (in floats, 4 MiB) kept per thread between queries.
constexpr std::size_t REUSED_SIMILARITIES = std::size_t{1} << 20;

// About this many similarity rows read per task when the fine-code scores
// are split over the pool.
constexpr std::size_t FINE_TASK_WORK = std::size_t{1} << 18;

// Four similarities (GCC's vector type: one SSE register, so no dispatch);
// a lane-wise maximum gives the same bits on any instruction set.
using Lanes4 = float __attribute__((vector_size(16)));
constexpr std::size_t QUADS = CODE_MAJOR_LANES / 4;

// A cheaper score from the fine codes alone, to narrow many candidates
// before the residuals are read: for query row j, c_j = the largest C[j][c]
// over the codes c of the document's vectors that lie below n_fine (-inf
// when there is none; a NaN similarity never wins), and the score c_0, then
// + c_j for j = 1 .. q - 1 in float32 (0 for a query without rows).
// `similarities` is C as similarity_code_major writes it (`stride` floats
// per centroid, row n_fine all -inf). Every document and its rows are
// checked to lie in the store before any row is read. Large sets are split
// over `pool`, each score written by one task.
void fine_code_scores(const float* similarities, std::size_t stride, uint64_t q, uint64_t n_fine,
                      const CodeStoreView& store, std::span<const int64_t> docs, float* out,
                      parallel::ThreadPool* pool) {
    (void)parallel::check_candidates(docs, store.offsets, store.n_docs, store.n_rows);
    const std::size_t n = docs.size();
    if (q == 0) {
        std::fill(out, out + n, 0.0f);  // the empty sum
        return;
    }
    const std::size_t chunks = stride / CODE_MAJOR_LANES;
    const float inf = std::numeric_limits<float>::infinity();
    auto score_range = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + 2 < end) {
                const int64_t d = docs[i + 2];
                __builtin_prefetch(store.fine + store.offsets[d]);
                __builtin_prefetch(store.fine + store.offsets[d + 1] - 1);
            }
            const int64_t d = docs[i];
            const uint16_t* codes = store.fine + store.offsets[d];
            const auto len = static_cast<std::size_t>(store.offsets[d + 1] - store.offsets[d]);
            float score = 0.0f;
            for (std::size_t c = 0; c < chunks; ++c) {
                // One code-major row of 16 similarities per vector, in four
                // registers; even and odd vectors in separate maxima, so that
                // consecutive vectors do not wait on each other.
                Lanes4 even[QUADS], odd[QUADS];
                for (std::size_t l = 0; l < QUADS; ++l) even[l] = odd[l] = Lanes4{-inf, -inf, -inf, -inf};
                auto take = [&](Lanes4* best, uint16_t stored) {
                    // A code beyond the centroids reads row n_fine (all -inf).
                    const std::size_t code = std::min<std::size_t>(stored, n_fine);
                    const float* row = similarities + code * stride + c * CODE_MAJOR_LANES;
                    for (std::size_t l = 0; l < QUADS; ++l) {
                        Lanes4 x;
                        std::memcpy(&x, row + 4 * l, sizeof x);
                        best[l] = x > best[l] ? x : best[l];  // NaN never wins
                    }
                };
                std::size_t v = 0;
                for (; v + 2 <= len; v += 2) {
                    take(even, codes[v]);
                    take(odd, codes[v + 1]);
                }
                if (v < len) take(even, codes[v]);
                Lanes4 best[QUADS];
                for (std::size_t l = 0; l < QUADS; ++l) best[l] = odd[l] > even[l] ? odd[l] : even[l];
                const std::size_t lanes = std::min<std::size_t>(CODE_MAJOR_LANES, q - c * CODE_MAJOR_LANES);
                for (std::size_t j = 0; j < lanes; ++j) {
                    const float m = best[j / 4][j % 4];
                    score = (c == 0 && j == 0) ? m : score + m;
                }
            }
            out[i] = score;
        }
    };
    uint64_t rows = 0;
    for (const int64_t d : docs) rows += static_cast<uint64_t>(store.offsets[d + 1] - store.offsets[d]);
    const double work = static_cast<double>(rows) * static_cast<double>(chunks);
    parallel::split_candidates(n, work, FINE_TASK_WORK, pool, score_range);
}

// The `keep` best of `docs` by `scores` (scores[i] for docs[i]): higher
// first, NaN after every number, equal scores to the earlier entry; returned
// in the order they have in `docs`.
std::vector<int64_t> best_docs(std::span<const int64_t> docs, const float* scores, std::size_t keep) {
    std::vector<std::size_t> order(docs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (keep < order.size()) {
        auto better = [scores](std::size_t a, std::size_t b) {
            const float x = scores[a], y = scores[b];
            if (std::isnan(x) != std::isnan(y)) return std::isnan(y);
            if (!std::isnan(x) && x != y) return x > y;
            return a < b;
        };
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(),
                         better);
        order.resize(keep);
        std::sort(order.begin(), order.end());
    }
    std::vector<int64_t> out(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) out[i] = docs[order[i]];
    return out;
}

}  // namespace

TokenSearch token_search(const float* query, uint64_t q, const CentroidView& centroids,
                         const ResidualQuantiser& quantiser, const CodeStoreView& store,
                         const TokenListsView& lists, std::span<const uint64_t> probes,
                         std::span<const int64_t> extra, const uint8_t* skip, bool score,
                         parallel::ThreadPool* pool, uint64_t shortlist) {
    check_quantiser(centroids, quantiser);
    if (probes.size() != q)
        throw InvalidInput("probes hold " + std::to_string(probes.size()) + " counts for " +
                           std::to_string(q) + " query rows");
    const uint64_t k = centroids.n_fine;
    check_token_lists(lists.starts, k, lists.n_docs);

    // C once, for the lists' probes and the code tables alike.
    // (A per-thread buffer for the usual sizes: no fresh pages per query;
    // every entry is written before it is read.)
    thread_local std::vector<float> reused;
    std::vector<float> own;
    const std::size_t stride = code_major_stride(q), size = (static_cast<std::size_t>(k) + 1) * stride;
    std::vector<float>& sims = size <= REUSED_SIMILARITIES ? reused : own;
    const bool probing = std::any_of(probes.begin(), probes.end(), [](uint64_t p) { return p > 0; });
    // (Shortlisting is decided once the candidates are known; the product
    // is then needed in any case.)
    if ((probing || score || shortlist > 0) && q > 0) {
        if (sims.size() < size) sims.resize(size);
        similarity_code_major(query, q, centroids.data, k, centroids.dim, sims.data());
    }
    TokenSearch out;
    // (Zero probes read no similarity, so none need be computed for them.)
    out.docs =
        token_candidates(sims.data(), stride, k, lists.starts, lists.docs, probes, store.n_docs, extra, skip);
    if (shortlist > 0 && out.docs.size() > shortlist) {
        std::vector<float> rough(out.docs.size());
        fine_code_scores(sims.data(), stride, q, k, store, out.docs, rough.data(), pool);
        out.docs = best_docs(out.docs, rough.data(), static_cast<std::size_t>(shortlist));
    }
    if (!score || out.docs.empty()) return out;
    out.scores.resize(out.docs.size());
    if (q == 0) {
        std::fill(out.scores.begin(), out.scores.end(), 0.0f);  // the empty sum
        return out;
    }
    const CodeQueryTables tables = build_code_tables(query, q, centroids, quantiser, sims.data());
    code_maxsim_scores(tables, store, out.docs, out.scores.data(), pool);
    return out;
}

}  // namespace qor
