#include "codes/code_maxsim.hpp"

#include <algorithm>
#include <limits>

#include "parallel/candidate_split.hpp"
#include "router/similarity.hpp"

namespace qor {

namespace {

constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

// Table entries read per task: enough to outweigh the hand-off to a worker.
// A call with less than two tasks' work stays on the calling thread.
constexpr std::size_t TASK_WORK = std::size_t{1} << 21;

}  // namespace

CodeQueryTables build_code_tables(const float* query, uint64_t q, const CentroidView& centroids,
                                  const ResidualQuantiser& quantiser) {
    check_quantiser(centroids, quantiser);
    const uint64_t dim = centroids.dim;
    const auto d = static_cast<std::size_t>(dim);
    CodeQueryTables t;
    t.q = static_cast<std::size_t>(q);
    t.n_fine = centroids.n_fine;
    t.c_stride = code_major_stride(q);
    t.code_bytes = static_cast<std::size_t>(residual_bytes(dim, quantiser.bits));
    t.t_stride = (t.q + CODE_TABLE_LANES - 1) / CODE_TABLE_LANES * CODE_TABLE_LANES;
    t.groups = static_cast<std::size_t>((dim * quantiser.bits + CODE_GROUP_BITS - 1) / CODE_GROUP_BITS);
    t.centroid.assign((static_cast<std::size_t>(centroids.n_fine) + 1) * t.c_stride, 0.0f);
    if (q > 0)
        similarity_code_major(query, q, centroids.data, centroids.n_fine, dim, t.centroid.data());
    else
        std::fill(t.centroid.begin(), t.centroid.end(), NEG_INF);

    // T row by row: for each byte value the levels of its dimensions, then
    // the sums for every query row, in dimension order.
    const uint32_t bits = quantiser.bits, per_group = CODE_GROUP_BITS / bits, k = quantiser.buckets();
    t.table.assign(t.groups * CODE_GROUP_VALUES * t.t_stride, 0.0f);
    std::vector<float> level(per_group);
    for (std::size_t g = 0; g < t.groups; ++g) {
        const std::size_t p0 = g * per_group;
        const std::size_t width = std::min<std::size_t>(per_group, d - p0);
        for (uint32_t v = 0; v < CODE_GROUP_VALUES; ++v) {
            for (std::size_t s = 0; s < width; ++s)
                level[s] = quantiser.levels[(p0 + s) * k + ((v >> (s * bits)) & (k - 1))];
            float* row = t.table.data() + (g * CODE_GROUP_VALUES + v) * t.t_stride;
            for (std::size_t j = 0; j < t.q; ++j) {
                const float* qj = query + j * d + p0;
                float acc = 0.0f;
                for (std::size_t s = 0; s < width; ++s) acc = acc + qj[s] * level[s];
                row[j] = acc;
            }
        }
    }
    return t;
}

void code_maxsim_scalar(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                        std::size_t n, float* maxima) {
    std::fill(maxima, maxima + t.q, NEG_INF);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t code = std::min<std::size_t>(fine[i], static_cast<std::size_t>(t.n_fine));
        const float* c = t.centroid.data() + code * t.c_stride;
        const uint8_t* bytes = residual + i * t.code_bytes;
        for (std::size_t j = 0; j < t.q; ++j) {
            float acc = c[j];
            for (std::size_t g = 0; g < t.groups; ++g)
                acc = acc + t.table[(g * CODE_GROUP_VALUES + code_group(bytes, g)) * t.t_stride + j];
            maxima[j] = acc > maxima[j] ? acc : maxima[j];
        }
    }
}

CodeMaxSimKernel code_maxsim_kernel_for(parallel::Isa isa) {
    return parallel::pick_kernel<CodeMaxSimKernel>(isa, &code_maxsim_scalar, QOR_SIMD_ONLY(&code_maxsim_avx2),
                                                   QOR_SIMD_ONLY(&code_maxsim_avx512));
}

CodeMaxSimKernel code_maxsim_kernel() {
    static const CodeMaxSimKernel kernel = code_maxsim_kernel_for(parallel::best_isa());
    return kernel;
}

void code_maxsim_scores(const float* query, uint64_t q, const CentroidView& centroids,
                        const ResidualQuantiser& quantiser, const CodeStoreView& store,
                        std::span<const int64_t> candidates, float* out, parallel::ThreadPool* pool,
                        CodeMaxSimKernel kernel) {
    check_quantiser(centroids, quantiser);
    const std::size_t n = candidates.size();
    const uint64_t total_rows =
        parallel::check_candidates(candidates, store.offsets, store.n_docs, store.n_rows).total_rows;
    if (n == 0) return;
    if (q == 0) {
        std::fill(out, out + n, 0.0f);  // the empty sum
        return;
    }
    const CodeQueryTables tables = build_code_tables(query, q, centroids, quantiser);
    const std::size_t groups = tables.code_bytes;
    const auto rows_q = static_cast<std::size_t>(q);

    auto score_range = [&](std::size_t begin, std::size_t end) {
        std::vector<float> maxima(tables.t_stride);
        for (std::size_t i = begin; i < end; ++i) {
            if (i + 1 < end) {
                // The next candidate's codes, fetched while this one is scored.
                const auto next = static_cast<std::size_t>(store.offsets[candidates[i + 1]]);
                __builtin_prefetch(store.fine + next);
                for (std::size_t k = 0; k < 8; ++k)
                    __builtin_prefetch(store.residual + next * groups + k * 64);
            }
            const int64_t c = candidates[i];
            const auto first = static_cast<std::size_t>(store.offsets[c]);
            const auto len = static_cast<std::size_t>(store.offsets[c + 1] - store.offsets[c]);
            kernel(tables, store.fine + first, store.residual + first * groups, len, maxima.data());
            float score = maxima[0];
            for (std::size_t j = 1; j < rows_q; ++j) score = score + maxima[j];
            out[i] = score;
        }
    };

    const double work = static_cast<double>(total_rows) * static_cast<double>(tables.groups + 1) *
                        static_cast<double>(tables.t_stride);
    parallel::split_candidates(n, work, TASK_WORK, pool, score_range);
}

}  // namespace qor
