#include "codes/code_maxsim.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/errors.hpp"
#include "parallel/candidate_split.hpp"
#include "router/similarity.hpp"

namespace qor {

namespace {

// Table entries read per task: enough to outweigh the hand-off to a worker.
// A call with less than two tasks' work stays on the calling thread.
constexpr std::size_t TASK_WORK = std::size_t{1} << 21;

constexpr std::size_t MAX_GROUPS = std::size_t{1} << 20;

// The largest C (in floats, 4 MiB) kept per thread between queries.
constexpr std::size_t REUSED_FLOATS = std::size_t{1} << 20;

#if QOR_SIMD_KERNELS
// Byte permutes across a whole register and four-byte dot products.
bool byte_lookup_supported() {
    return __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vnni");
}
#endif

// Four floats (or int32) as one value: GCC and Clang turn their operators
// into vector instructions of any target (SSE2 on every x86-64), each lane
// rounded as the scalar operation.
using Lanes = float __attribute__((vector_size(16)));
using IntLanes = int32_t __attribute__((vector_size(16)));

inline Lanes load_lanes(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store_lanes(float* p, Lanes v) {
    std::memcpy(p, &v, sizeof v);
}

inline Lanes absolute(Lanes v) {
    return reinterpret_cast<Lanes>(reinterpret_cast<IntLanes>(v) & 0x7FFFFFFF);
}

// std::nearbyint under the default rounding mode (to nearest, ties to even)
// without the library call: for |x| <= 2^22, adding 1.5 * 2^23 leaves no
// fraction bits, so that addition rounds x to a whole number, and taking
// the constant away again is exact. The tables' quotients stay within that
// range by the choice of delta; anything else goes to the library.
constexpr float ROUND_SHIFT = 12582912.0f;  // 1.5 * 2^23
constexpr float ROUND_LIMIT = 4194304.0f;   // 2^22

inline float round_to_even(float x) {
    if (!(std::fabs(x) <= ROUND_LIMIT)) return std::nearbyint(x);
    return (x + ROUND_SHIFT) - ROUND_SHIFT;
}

// T[j][g][v] (groups x 16 x t_stride floats, query rows innermost): for
// each group value the levels of its dimensions, then the sums for every
// query row in dimension order.
std::vector<float> float_residual_tables(const float* query, const ResidualQuantiser& quantiser,
                                         const CodeQueryTables& t) {
    const auto d = static_cast<std::size_t>(quantiser.dim);
    const uint32_t bits = quantiser.bits, per_group = CODE_GROUP_BITS / bits, k = quantiser.buckets();
    std::vector<float> table(t.groups * CODE_GROUP_VALUES * t.t_stride, 0.0f);
    std::vector<float> level(per_group);
    for (std::size_t g = 0; g < t.groups; ++g) {
        const std::size_t p0 = g * per_group;
        const std::size_t width = std::min<std::size_t>(per_group, d - p0);
        for (uint32_t v = 0; v < CODE_GROUP_VALUES; ++v) {
            for (std::size_t s = 0; s < width; ++s)
                level[s] = quantiser.levels[(p0 + s) * k + ((v >> (s * bits)) & (k - 1))];
            float* row = table.data() + (g * CODE_GROUP_VALUES + v) * t.t_stride;
            for (std::size_t j = 0; j < t.q; ++j) {
                const float* qj = query + j * d + p0;
                float acc = 0.0f;
                for (std::size_t s = 0; s < width; ++s) acc = acc + qj[s] * level[s];
                row[j] = acc;
            }
        }
    }
    return table;
}

// delta_j and B_j of every query row from C (code-major, c_stride) and T,
// and U in both layouts; a row with a value that is not finite is marked
// unordered and keeps zero tables.
void scale_rows(const float* c, const std::vector<float>& table, CodeQueryTables& t) {
    const auto n_fine = static_cast<std::size_t>(t.n_fine);
    // The largest |C| of each row and whether all are finite (x - x is +0
    // for a number, NaN otherwise), in one pass, four lanes at a time (the
    // lanes past q hold the similarities' padding and are not used).
    std::vector<float> top(t.c_stride, 0.0f), not_finite(t.c_stride, 0.0f);
    for (std::size_t cc = 0; cc < n_fine; ++cc) {
        const float* row = c + cc * t.c_stride;
        for (std::size_t j = 0; j < t.c_stride; j += 4) {
            const Lanes x = load_lanes(row + j);
            const Lanes a = absolute(x), was = load_lanes(top.data() + j);
            store_lanes(top.data() + j, a > was ? a : was);
            store_lanes(not_finite.data() + j, load_lanes(not_finite.data() + j) + (x - x));
        }
    }
    std::vector<uint8_t> finite(t.q);
    for (std::size_t j = 0; j < t.q; ++j) finite[j] = not_finite[j] == 0.0f;
    std::vector<float> lo(t.groups);
    for (std::size_t j = 0; j < t.q; ++j) {
        auto at = [&](std::size_t g, std::size_t v) {
            return table[(g * CODE_GROUP_VALUES + v) * t.t_stride + j];
        };
        float span = 0.0f;
        for (std::size_t g = 0; g < t.groups; ++g) {
            float least = at(g, 0), most = at(g, 0);
            for (std::size_t v = 0; v < CODE_GROUP_VALUES; ++v) {
                finite[j] = finite[j] && std::isfinite(at(g, v));
                least = std::min(least, at(g, v));
                most = std::max(most, at(g, v));
            }
            lo[g] = least;
            span = std::max(span, most - least);
        }
        float delta = std::max(span / 255.0f, top[j] / 4194304.0f);
        if (delta == 0.0f) delta = 1.0f;
        if (!finite[j] || !std::isfinite(delta)) {
            t.unordered[j] = 1;
            continue;
        }
        t.delta[j] = delta;
        float bias = lo[0];
        for (std::size_t g = 1; g < t.groups; ++g) bias = bias + lo[g];
        t.bias[j] = bias;
        for (std::size_t g = 0; g < t.groups; ++g)
            for (std::size_t v = 0; v < CODE_GROUP_VALUES; ++v) {
                const auto u =
                    static_cast<uint8_t>(std::min(255.0f, round_to_even((at(g, v) - lo[g]) / delta)));
                t.table[(g * CODE_GROUP_VALUES + v) * t.t_stride + j] = u;
                t.bytes[(j * t.chunks + g / 4) * 64 + (g % 4) * 16 + v] = u;
            }
    }
}

}  // namespace

CodeQueryTables build_code_tables(const float* query, uint64_t q, const CentroidView& centroids,
                                  const ResidualQuantiser& quantiser, const float* similarities) {
    check_quantiser(centroids, quantiser);
    const uint64_t dim = centroids.dim;
    CodeQueryTables t;
    t.q = static_cast<std::size_t>(q);
    t.n_fine = centroids.n_fine;
    t.c_stride = code_major_stride(q);
    t.code_bytes = static_cast<std::size_t>(residual_bytes(dim, quantiser.bits));
    t.t_stride = (t.q + CODE_TABLE_LANES - 1) / CODE_TABLE_LANES * CODE_TABLE_LANES;
    t.groups = static_cast<std::size_t>((dim * quantiser.bits + CODE_GROUP_BITS - 1) / CODE_GROUP_BITS);
    if (t.groups > MAX_GROUPS) throw InvalidInput("codes of more than 2^20 residual groups cannot be scored");
    t.chunks = (t.code_bytes + 1) / 2;
    const auto n_fine = static_cast<std::size_t>(centroids.n_fine);

    // C, code-major (query rows innermost), in a per-thread buffer that the
    // queries of usual sizes reuse (no fresh pages each time; a larger one
    // gets its own, so no thread keeps it), and T.
    thread_local std::vector<float> reused;
    std::vector<float> own;
    const float* c = similarities;
    if (c == nullptr) {
        const std::size_t c_size = (n_fine + 1) * t.c_stride;
        std::vector<float>& computed = c_size <= REUSED_FLOATS ? reused : own;
        computed.assign(c_size, 0.0f);
        if (q > 0) similarity_code_major(query, q, centroids.data, centroids.n_fine, dim, computed.data());
        c = computed.data();
    }
    const std::vector<float> table = float_residual_tables(query, quantiser, t);

    t.delta.assign(t.q, 1.0f);
    t.bias.assign(t.q, 0.0f);
    t.unordered.assign(t.q, 0);
    t.table.assign(table.size(), 0);
    t.bytes.assign(t.q * t.chunks * 64, 0);
    scale_rows(c, table, t);
    // K, centroid by centroid, zero in the unordered rows and past q. A
    // row whose delta is a normal number has |C / delta| <= 2^22 (delta is
    // at least top / 2^22), where rounding is two additions; those rows go
    // four lanes at a time, dividing the others'
    // lanes by infinity to 0 (or NaN, taken as 0). Rows with a subnormal
    // delta are redone one by one.
    t.centroid.assign((n_fine + 1) * t.c_stride, 0);
    std::vector<float> divisor(t.c_stride, std::numeric_limits<float>::infinity());
    std::vector<std::size_t> one_by_one;
    for (std::size_t j = 0; j < t.q; ++j) {
        if (t.unordered[j]) continue;
        if (t.delta[j] >= std::numeric_limits<float>::min())
            divisor[j] = t.delta[j];
        else
            one_by_one.push_back(j);
    }
    const Lanes shift = Lanes{} + ROUND_SHIFT, limit = Lanes{} + ROUND_LIMIT;
    for (std::size_t cc = 0; cc < n_fine; ++cc) {
        const float* from = c + cc * t.c_stride;
        int32_t* to = t.centroid.data() + cc * t.c_stride;
        for (std::size_t j = 0; j < t.c_stride; j += 4) {
            Lanes y = load_lanes(from + j) / load_lanes(divisor.data() + j);
            y = absolute(y) <= limit ? y : Lanes{};
            const IntLanes k = __builtin_convertvector((y + shift) - shift, IntLanes);
            std::memcpy(to + j, &k, sizeof k);
        }
        for (const std::size_t j : one_by_one)
            to[j] = static_cast<int32_t>(round_to_even(from[j] / t.delta[j]));
    }
    for (std::size_t j = 0; j < t.c_stride; ++j) t.centroid[n_fine * t.c_stride + j] = CODE_INVALID;
    return t;
}

void code_maxsim_scalar(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                        std::size_t n, int32_t* maxima) {
    std::fill(maxima, maxima + t.q, std::numeric_limits<int32_t>::min());
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t code = std::min<std::size_t>(fine[i], static_cast<std::size_t>(t.n_fine));
        const int32_t* c = t.centroid.data() + code * t.c_stride;
        const uint8_t* bytes = residual + i * t.code_bytes;
        for (std::size_t j = 0; j < t.q; ++j) {
            int32_t acc = c[j];
            for (std::size_t g = 0; g < t.groups; ++g)
                acc += t.table[(g * CODE_GROUP_VALUES + code_group(bytes, g)) * t.t_stride + j];
            maxima[j] = std::max(maxima[j], acc);
        }
    }
}

CodeMaxSimKernel code_maxsim_kernel_for(parallel::Isa isa) {
#if QOR_SIMD_KERNELS
    if (isa == parallel::Isa::Avx512 && parallel::isa_supported(isa) && byte_lookup_supported())
        return &code_maxsim_vbmi;
#endif
    return parallel::pick_kernel<CodeMaxSimKernel>(isa, &code_maxsim_scalar, QOR_SIMD_ONLY(&code_maxsim_avx2),
                                                   QOR_SIMD_ONLY(&code_maxsim_avx512));
}

std::vector<CodeMaxSimKernel> code_maxsim_kernels() {
    std::vector<CodeMaxSimKernel> all{&code_maxsim_scalar};
#if QOR_SIMD_KERNELS
    if (parallel::isa_supported(parallel::Isa::Avx2)) all.push_back(&code_maxsim_avx2);
    if (parallel::isa_supported(parallel::Isa::Avx512)) {
        all.push_back(&code_maxsim_avx512);
        if (byte_lookup_supported()) all.push_back(&code_maxsim_vbmi);
    }
#endif
    return all;
}

CodeMaxSimKernel code_maxsim_kernel() {
    static const CodeMaxSimKernel kernel = code_maxsim_kernel_for(parallel::best_isa());
    return kernel;
}

namespace {

void score_with_tables(const CodeQueryTables& tables, const CodeStoreView& store,
                       std::span<const int64_t> candidates, float* out, parallel::ThreadPool* pool,
                       CodeMaxSimKernel kernel, uint64_t total_rows) {
    const std::size_t n = candidates.size();
    if (tables.q == 0) {
        std::fill(out, out + n, 0.0f);  // the empty sum
        return;
    }
    const std::size_t groups = tables.code_bytes;
    const std::size_t rows_q = tables.q;

    auto score_range = [&](std::size_t begin, std::size_t end) {
        std::vector<int32_t> maxima(tables.t_stride);
        for (std::size_t i = begin; i < end; ++i) {
            // Fetched while this candidate is scored: the fine codes of the
            // one after next and the next one's residual codes. (The rows of
            // the centroid table its fine codes pick live in the second-level
            // cache: fetching them ahead measured slower.)
            if (i + 2 < end) {
                const int64_t d = candidates[i + 2];
                __builtin_prefetch(store.fine + store.offsets[d]);
                __builtin_prefetch(store.fine + store.offsets[d + 1] - 1);
            }
            if (i + 1 < end) {
                const int64_t d = candidates[i + 1];
                const auto next = static_cast<std::size_t>(store.offsets[d]);
                const auto last = static_cast<std::size_t>(store.offsets[d + 1]);
                for (std::size_t at = next * groups; at < last * groups; at += 64)
                    __builtin_prefetch(store.residual + at);
            }
            const int64_t c = candidates[i];
            const auto first = static_cast<std::size_t>(store.offsets[c]);
            const auto len = static_cast<std::size_t>(store.offsets[c + 1] - store.offsets[c]);
            kernel(tables, store.fine + first, store.residual + first * groups, len, maxima.data());
            float score = code_row_maximum(tables, 0, maxima[0]);
            for (std::size_t j = 1; j < rows_q; ++j) score = score + code_row_maximum(tables, j, maxima[j]);
            out[i] = score;
        }
    };

    const double work = static_cast<double>(total_rows) * static_cast<double>(tables.groups + 1) *
                        static_cast<double>(tables.t_stride);
    parallel::split_candidates(n, work, TASK_WORK, pool, score_range);
}

}  // namespace

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
    score_with_tables(build_code_tables(query, q, centroids, quantiser), store, candidates, out, pool, kernel,
                      total_rows);
}

void code_maxsim_scores(const CodeQueryTables& tables, const CodeStoreView& store,
                        std::span<const int64_t> candidates, float* out, parallel::ThreadPool* pool,
                        CodeMaxSimKernel kernel) {
    const uint64_t total_rows =
        parallel::check_candidates(candidates, store.offsets, store.n_docs, store.n_rows).total_rows;
    if (candidates.empty()) return;
    score_with_tables(tables, store, candidates, out, pool, kernel, total_rows);
}

}  // namespace qor
