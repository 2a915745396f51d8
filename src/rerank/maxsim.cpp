#include "rerank/maxsim.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "parallel/candidate_split.hpp"

namespace qor {

namespace {

constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

// Multiply-adds per task: enough to outweigh the hand-off to a worker (a
// few hundred microseconds of work), small enough that two cores share the
// tail. A call with less than two tasks' work stays on the calling thread.
constexpr std::size_t TASK_WORK = std::size_t{1} << 21;

float half_bits_to_float(uint16_t h) {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    const uint32_t exponent = (h >> 10) & 0x1Fu;
    const uint32_t mantissa = h & 0x3FFu;
    uint32_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000u | (mantissa << 13);  // infinity or NaN, payload kept
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (mantissa << 13);  // rebias 15 -> 127
    } else if (mantissa == 0) {
        bits = sign;
    } else {
        // Subnormal: mantissa * 2^-24, normalised for float32.
        uint32_t m = mantissa;
        uint32_t e = 113;
        while ((m & 0x400u) == 0) {
            m <<= 1;
            --e;
        }
        bits = sign | (e << 23) | ((m & 0x3FFu) << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Every binary16 value widened, looked up per element by the scalar kernel
// (256 KiB, built once).
const std::array<float, 65536>& half_table() {
    static const auto table = [] {
        auto t = std::make_unique<std::array<float, 65536>>();
        for (uint32_t h = 0; h < 65536; ++h) (*t)[h] = half_bits_to_float(static_cast<uint16_t>(h));
        return t;
    }();
    return *table;
}

// The bytes of a document's rows in the store.
Lookahead rows_of(const StoreView& store, int64_t doc) {
    const std::size_t element = store.type == RowType::Float16 ? 2 : 4;
    const auto* base = static_cast<const char*>(store.rows);
    const auto dim = static_cast<std::size_t>(store.dim);
    Lookahead span;
    span.next = base + static_cast<std::size_t>(store.offsets[doc]) * dim * element;
    span.left = static_cast<std::size_t>(store.offsets[doc + 1] - store.offsets[doc]) * dim * element;
    return span;
}

// The rows a kernel fetches, spread out, while it scores candidate i: all
// of the next candidate's, so that they are in cache when it comes to them
// (the kernel fetches the rest of its own document a block ahead as well).
Lookahead ahead_of(const StoreView& store, std::span<const int64_t> candidates, std::size_t i,
                   std::size_t end) {
    return i + 1 < end ? rows_of(store, candidates[i + 1]) : Lookahead{};
}

}  // namespace

float half_to_float(uint16_t bits) {
    return half_bits_to_float(bits);
}

void maxsim_rows_scalar(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const void* rows,
                        RowType type, std::size_t n_rows, float* maxima, Lookahead&) {
    // One dot per query row at a time, accumulated in the definition's order;
    // the running maxima see the rows in increasing order.
    const std::array<float, 65536>* halves = type == RowType::Float16 ? &half_table() : nullptr;
    std::fill(maxima, maxima + q, NEG_INF);
    for (std::size_t r = 0; r < n_rows; ++r)
        for (std::size_t j = 0; j < q; ++j) {
            float acc = 0.0f;
            for (std::size_t p = 0; p < dim; ++p) {
                const std::size_t at = r * dim + p;
                const float value = halves != nullptr ? (*halves)[static_cast<const uint16_t*>(rows)[at]]
                                                      : static_cast<const float*>(rows)[at];
                acc = acc + qt[p * stride + j] * value;
            }
            maxima[j] = acc > maxima[j] ? acc : maxima[j];
        }
}

MaxSimKernel maxsim_kernel_for(parallel::Isa isa) {
#if QOR_SIMD_KERNELS
    if (isa == parallel::Isa::Avx2 && parallel::isa_supported(isa)) {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("f16c")) return &maxsim_rows_scalar;
    }
#endif
    return parallel::pick_kernel<MaxSimKernel>(isa, &maxsim_rows_scalar, QOR_SIMD_ONLY(&maxsim_rows_avx2),
                                               QOR_SIMD_ONLY(&maxsim_rows_avx512));
}

MaxSimKernel maxsim_kernel() {
    static const MaxSimKernel kernel = maxsim_kernel_for(parallel::best_isa());
    return kernel;
}

void maxsim_scores(const float* query, uint64_t q, const StoreView& store,
                   std::span<const int64_t> candidates, float* out, parallel::ThreadPool* pool,
                   MaxSimKernel kernel) {
    const std::size_t n = candidates.size();
    const auto dim = static_cast<std::size_t>(store.dim);
    // Every candidate checked before any work.
    const uint64_t total_rows =
        parallel::check_candidates(candidates, store.offsets, store.n_docs, store.n_rows).total_rows;
    if (n == 0) return;
    if (q == 0) {
        std::fill(out, out + n, 0.0f);  // the empty sum
        return;
    }
    const std::size_t stride = maxsim_stride(q);
    const auto rows_q = static_cast<std::size_t>(q);
    // The query transposed once, zero in the padding lanes, so the vector
    // kernels load one dimension of many query rows at once.
    std::vector<float> qt(dim * stride, 0.0f);
    for (std::size_t j = 0; j < rows_q; ++j)
        for (std::size_t p = 0; p < dim; ++p) qt[p * stride + j] = query[j * dim + p];

    auto score_range = [&](std::size_t begin, std::size_t end) {
        std::vector<float> maxima(stride);
        for (std::size_t i = begin; i < end; ++i) {
            Lookahead ahead = ahead_of(store, candidates, i, end);
            const int64_t c = candidates[i];
            const auto len = static_cast<std::size_t>(store.offsets[c + 1] - store.offsets[c]);
            kernel(qt.data(), stride, rows_q, dim, rows_of(store, c).next, store.type, len, maxima.data(),
                   ahead);
            float score = maxima[0];
            for (std::size_t j = 1; j < rows_q; ++j) score = score + maxima[j];
            out[i] = score;
        }
    };

    const double work =
        static_cast<double>(total_rows) * static_cast<double>(stride) * static_cast<double>(dim);
    parallel::split_candidates(n, work, TASK_WORK, pool, score_range);
}

}  // namespace qor
