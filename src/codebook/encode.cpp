#include "codebook/encode.hpp"

#include <algorithm>
#include <string>

#include "codebook/nearest.hpp"
#include "codebook/normalize.hpp"
#include "common/errors.hpp"
#include "common/saturating.hpp"
#include "common/text.hpp"
#include "parallel/thread_pool.hpp"

namespace qor {

namespace {

// Rows normalised and encoded per block.
constexpr std::size_t ENCODE_BLOCK = 256;

}  // namespace

std::vector<uint32_t> encode_vectors(const TwoStageCodebook& codebook, std::span<const float> vectors,
                                     uint64_t n_rows) {
    const uint64_t k = codebook.n_fine, d = codebook.dim;
    const uint64_t centroid_values = saturating_mul(k, d);
    if (codebook.cquant.size() < centroid_values)
        throw InternalFailure("codebook shape mismatch: n_fine " + num(k) + " x dim " + num(d) + " needs " +
                              num(centroid_values) + " centroid values, cquant holds " +
                              num(codebook.cquant.size()));
    const uint64_t row_values = saturating_mul(n_rows, d);
    if (vectors.size() < row_values)
        throw InternalFailure("vector shape mismatch: " + num(n_rows) + " rows x dim " + num(d) + " needs " +
                              num(row_values) + " values, the slice holds " + num(vectors.size()));

    std::vector<uint32_t> codes(static_cast<std::size_t>(n_rows), 0);
    if (n_rows == 0) return codes;
    // Rows are normalised a block at a time (as normalize_rows would), so
    // encoding holds no normalised copy of the whole input.
    const PreparedCentroids prepared(codebook.cquant.data(), k, d);
    const float* x = vectors.data();
    const auto dd = static_cast<std::size_t>(d);
    parallel::parallel_for(static_cast<std::size_t>(n_rows), ENCODE_BLOCK, [&](std::size_t b, std::size_t e) {
        std::vector<float> block(ENCODE_BLOCK * dd);
        for (std::size_t i0 = b; i0 < e; i0 += ENCODE_BLOCK) {
            const std::size_t m = std::min(ENCODE_BLOCK, e - i0);
            const std::vector<float> div = row_divisors(MatrixRef::contiguous(x + i0 * dd, m, d));
            for (std::size_t r = 0; r < m; ++r)
                divide_row(x + (i0 + r) * dd, d, div[r], block.data() + r * dd);
            prepared.nearest(block.data(), m, codes.data() + i0);
        }
    });
    return codes;
}

}  // namespace qor
