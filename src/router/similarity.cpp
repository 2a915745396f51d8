#include "router/similarity.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "parallel/thread_pool.hpp"

namespace qor {

namespace {

constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

// Multiply-adds per task: enough to outweigh the hand-off (a few hundred
// microseconds of work), small enough that two cores share the tail.
constexpr std::size_t TASK_WORK = std::size_t{1} << 20;

// Query rows per task at most: tall queries are split by rows as well as
// by centroids. A multiple of 32, so only the last strip of the last range
// can be short.
constexpr std::size_t TASK_ROWS = 512;

// Centroids per task: a multiple of 16, so the vector kernels' centroid
// blocks are full except in the last task. The result never depends on it.
std::size_t task_centroids(std::size_t lanes, std::size_t dim) {
    const std::size_t per_centroid = std::max<std::size_t>(1, lanes * std::max<std::size_t>(dim, 1));
    const std::size_t n = std::max<std::size_t>(1, TASK_WORK / per_centroid);
    return (n + 15) / 16 * 16;
}

}  // namespace

void similarity_rows_scalar(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                            const float* centroids, std::size_t c_begin, std::size_t c_end, float* out) {
    // The output row is the accumulator: lane j adds its own products in
    // dimension order, so this is the definition for every lane.
    for (std::size_t c = c_begin; c < c_end; ++c) {
        float* acc = out + c * stride;
        const float* cent = centroids + c * dim;
        std::fill(acc, acc + q, 0.0f);
        for (std::size_t p = 0; p < dim; ++p) {
            const float cv = cent[p];
            const float* col = qt + p * stride;
            for (std::size_t j = 0; j < q; ++j) acc[j] = acc[j] + col[j] * cv;
        }
    }
}

SimilarityKernel similarity_kernel_for(parallel::Isa isa) {
    return parallel::pick_kernel<SimilarityKernel>(isa, &similarity_rows_scalar,
                                                   QOR_SIMD_ONLY(&similarity_rows_avx2),
                                                   QOR_SIMD_ONLY(&similarity_rows_avx512));
}

SimilarityKernel similarity_kernel() {
    static const SimilarityKernel kernel = similarity_kernel_for(parallel::best_isa());
    return kernel;
}

void similarity_code_major(const float* query, uint64_t q, const float* centroids, uint64_t n_fine,
                           uint64_t dim, float* out, SimilarityKernel kernel) {
    const std::size_t stride = code_major_stride(q);
    const auto n = static_cast<std::size_t>(n_fine);
    const auto d = static_cast<std::size_t>(dim);
    const auto rows = static_cast<std::size_t>(q);
    // The query transposed once, zero in the padding lanes, so every kernel
    // loads a dimension of many query rows as one vector.
    std::vector<float> qt(d * stride, 0.0f);
    for (std::size_t j = 0; j < rows; ++j)
        for (std::size_t p = 0; p < d; ++p) qt[p * stride + j] = query[j * d + p];
    // Tasks cover (centroid range) x (query row range) tiles; each entry,
    // padding included, is written by the one task whose tile holds it.
    const std::size_t row_chunk = std::min(stride, TASK_ROWS);
    const std::size_t row_chunks = stride == 0 ? 0 : (stride + row_chunk - 1) / row_chunk;
    const std::size_t c_grain = task_centroids(row_chunk, d);
    const std::size_t c_chunks = (n + c_grain - 1) / c_grain;
    parallel::parallel_for(row_chunks * c_chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            const std::size_t j0 = t / c_chunks * row_chunk;
            const std::size_t j1 = std::min(stride, j0 + row_chunk);
            const std::size_t c0 = t % c_chunks * c_grain;
            const std::size_t c1 = std::min(n, c0 + c_grain);
            const std::size_t valid = rows > j0 ? std::min(rows, j1) - j0 : 0;
            if (valid > 0) kernel(qt.data() + j0, stride, valid, d, centroids, c0, c1, out + j0);
            // Padding lanes hold -inf so a vector max over them is well
            // defined; the row sums never read them.
            for (std::size_t c = c0; c < c1; ++c)
                std::fill(out + c * stride + j0 + valid, out + c * stride + j1, NEG_INF);
        }
    });
    std::fill(out + n * stride, out + (n + 1) * stride, NEG_INF);
}

}  // namespace qor
