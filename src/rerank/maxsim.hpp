// Exact MaxSim of a query against candidate documents of a vector store.
//
// The score of a document with rows r_0 .. r_{n-1} for a query with rows
// q_0 .. q_{m-1}, in float32 throughout:
//   dot(q, r): acc = +0.0f, then for p = 0 .. dim - 1 in increasing order
//              acc = acc + (q[p] * r[p]), the product and the sum each
//              rounded (no fused multiply-add) -- the order of the router's
//              similarity product;
//   max_j:     mx = -inf, then for the rows in increasing order
//              mx = (dot(q_j, r_i) > mx) ? dot(q_j, r_i) : mx
//              (a NaN dot never wins; of +0 and -0 the first row's stays);
//   score:     mx_0, then score = score + mx_j for j = 1 .. m - 1 in query
//              row order; 0 for a query without rows.
// A document without rows scores -inf for a query with rows. float16 rows
// are widened to float32 as they are read, which is exact. Every kernel variant and
// every pool size gives these bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "parallel/cpu_features.hpp"
#include "parallel/thread_pool.hpp"

namespace qor {

enum class RowType { Float32, Float16 };

// A vector store as the scorer reads it: n_rows x dim rows, row-major and
// contiguous (memory-mapped or not), and n_docs + 1 offsets: document d is
// rows offsets[d] .. offsets[d + 1] - 1. Borrowed; nothing is copied.
struct StoreView {
    const void* rows = nullptr;
    RowType type = RowType::Float32;
    uint64_t n_rows = 0;
    uint64_t dim = 0;
    const int64_t* offsets = nullptr;
    uint64_t n_docs = 0;
};

// Query-row lanes of the transposed query: its row stride is a multiple of
// this, so a kernel loads whole vectors without a tail.
inline constexpr std::size_t MAXSIM_LANES = 16;

inline std::size_t maxsim_stride(uint64_t q) {
    return static_cast<std::size_t>((q + MAXSIM_LANES - 1) / MAXSIM_LANES * MAXSIM_LANES);
}

// The cache lines of rows scored later (the next candidate's), fetched a few
// at a time while the current document is scored: they arrive in time, and
// spread out they never stall the kernel the way one burst of prefetches
// waiting for free line-fill buffers would.
struct Lookahead {
    static constexpr std::size_t SLOT = 16;  // dimensions per fetch

    const char* next = nullptr;
    std::size_t left = 0;  // bytes from `next` still to fetch
    std::size_t per_slot = 0;

    // Spreads the lines still to fetch over `slots` coming fetches.
    void pace(std::size_t slots) {
        const std::size_t lines = (left + 63) / 64;
        per_slot = slots == 0 ? lines : (lines + slots - 1) / slots;
    }
    void fetch() {
        const std::size_t bytes = per_slot * 64 < left ? per_slot * 64 : left;
        for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(next + at);
        next += bytes;
        left -= bytes;
    }
};

// The per-query-row maxima of one document: maxima[j] = max over the
// n_rows row-major rows of dot(q_j, row), for j < q; `rows` points at float32
// or binary16 values as `type` says (binary16 widened exactly as it is read).
// The query is read transposed: qt[p * stride + j] is dimension p of query
// row j, zero for j >= q. Vector kernels also write lanes q ..
// maxsim_stride(q) - 1 of `maxima`, which must have that room. n_rows == 0
// leaves -inf. The vector kernels fetch `ahead`'s lines as they go; the
// scalar one leaves them.
using MaxSimKernel = void (*)(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                              const void* rows, RowType type, std::size_t n_rows, float* maxima,
                              Lookahead& ahead);

void maxsim_rows_scalar(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const void* rows,
                        RowType type, std::size_t n_rows, float* maxima, Lookahead& ahead);
void maxsim_rows_avx2(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const void* rows,
                      RowType type, std::size_t n_rows, float* maxima,
                      Lookahead& ahead);  // needs F16C as well
void maxsim_rows_avx512(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const void* rows,
                        RowType type, std::size_t n_rows, float* maxima, Lookahead& ahead);

// The kernel of `isa` (AVX2 only with F16C), or the scalar one when this
// processor or build lacks it.
MaxSimKernel maxsim_kernel_for(parallel::Isa isa);

// The kernel for best_isa(), chosen once on first use.
MaxSimKernel maxsim_kernel();

// The float32 value of IEEE binary16 bits: exact for every input (NaN keeps
// its sign and payload; the vector kernels' conversion quiets a signalling
// NaN, but a NaN dot never enters a maximum, so scores do not depend on it).
float half_to_float(uint16_t bits);

// Scores of the documents `candidates` (indices into the store, repeats
// allowed) for the q x store.dim row-major `query`: out[i] is the score of
// candidates[i]. Throws InvalidInput, before any work, when a candidate is
// outside 0 .. n_docs - 1 or its offsets do not lie within the store's rows.
// Large candidate sets are split over `pool` (the calling thread's pool when
// null); each score is written by one task, so the result does not depend on
// the pool size. A small one runs on the calling thread alone.
// `kernel` defaults to the best this processor runs (chosen once).
void maxsim_scores(const float* query, uint64_t q, const StoreView& store,
                   std::span<const int64_t> candidates, float* out, parallel::ThreadPool* pool = nullptr,
                   MaxSimKernel kernel = maxsim_kernel());

}  // namespace qor
