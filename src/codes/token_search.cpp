#include "codes/token_search.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "codes/token_lists.hpp"
#include "common/errors.hpp"
#include "router/similarity.hpp"

namespace qor {

namespace {

// The largest similarity matrix (in floats, 4 MiB) kept per thread between queries.
constexpr std::size_t REUSED_SIMILARITIES = std::size_t{1} << 20;

}  // namespace

TokenSearch token_search(const float* query, uint64_t q, const CentroidView& centroids,
                         const ResidualQuantiser& quantiser, const CodeStoreView& store,
                         const TokenListsView& lists, std::span<const uint64_t> probes,
                         std::span<const int64_t> extra, const uint8_t* skip, bool score,
                         parallel::ThreadPool* pool) {
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
    if ((probing || score) && q > 0) {
        if (sims.size() < size) sims.resize(size);
        similarity_code_major(query, q, centroids.data, k, centroids.dim, sims.data());
    }
    TokenSearch out;
    // (Zero probes read no similarity, so none need be computed for them.)
    out.docs =
        token_candidates(sims.data(), stride, k, lists.starts, lists.docs, probes, store.n_docs, extra, skip);
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
