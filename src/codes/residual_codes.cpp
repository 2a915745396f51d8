#include "codes/residual_codes.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "codebook/nearest.hpp"
#include "codebook/normalize.hpp"
#include "codebook/rng.hpp"
#include "common/errors.hpp"

namespace qor {

namespace {

// Rows normalised, assigned and quantised per block.
constexpr std::size_t CODE_BLOCK = 256;

// Rounds of one-dimensional Lloyd refinement after the equal-count start.
constexpr int LLOYD_ROUNDS = 8;

// How much more an encoding error along the vector itself weighs than one
// across it, and the most passes of the encoder's coordinate descent.
constexpr double SCORE_WEIGHT = 4.0;
constexpr int SCORE_PASSES = 3;

void run(parallel::ThreadPool* pool, std::size_t n, std::size_t grain, const parallel::RangeBody& body) {
    if (pool != nullptr)
        pool->parallel_for(n, grain, body);
    else
        parallel::parallel_for(n, grain, body);
}

void check_centroids(const CentroidView& c) {
    if (c.n_fine == 0 || c.n_fine > 65536)
        throw InvalidInput("the codebook must hold 1 to 65536 fine centroids, got " +
                           std::to_string(c.n_fine));
    if (c.dim == 0) throw InvalidInput("the codebook's dimension must be positive, got 0");
}

// `sample` distinct indices below n in increasing order (Floyd's method on
// the seeded generator), or all of them when n <= sample.
std::vector<uint64_t> sample_rows(uint64_t n, uint64_t sample, uint64_t seed) {
    std::vector<uint64_t> rows;
    if (n <= sample) {
        rows.resize(static_cast<std::size_t>(n));
        for (uint64_t i = 0; i < n; ++i) rows[static_cast<std::size_t>(i)] = i;
        return rows;
    }
    ChaChaRng rng(seed);
    std::set<uint64_t> chosen;
    for (uint64_t j = n - sample; j < n; ++j) {
        const uint64_t t = rng.gen_range(j + 1);
        chosen.insert(chosen.count(t) ? j : t);
    }
    return {chosen.begin(), chosen.end()};
}

// Fine codes of `n` rows (normalised a block at a time, as the router
// encodes them) into `codes`; one block per call.
void assign_block(const PreparedCentroids& prepared, const float* rows, std::size_t n, uint64_t dim,
                  std::vector<float>& scratch, uint32_t* codes) {
    const auto d = static_cast<std::size_t>(dim);
    scratch.resize(n * d);
    const std::vector<float> div = row_divisors(MatrixRef::contiguous(rows, n, dim));
    for (std::size_t r = 0; r < n; ++r) divide_row(rows + r * d, dim, div[r], scratch.data() + r * d);
    prepared.nearest(scratch.data(), n, codes);
}

// Levels and cuts of one dimension from its sorted finite values.
void train_dimension(const std::vector<float>& v, uint32_t k, float* cuts, float* levels) {
    const std::size_t m = v.size();
    if (m == 0) {
        std::fill(levels, levels + k, 0.0f);
        std::fill(cuts, cuts + k - 1, 0.0f);
        return;
    }
    // Prefix sums in double, in sorted order: a bucket's mean is one division.
    std::vector<double> prefix(m + 1, 0.0);
    for (std::size_t i = 0; i < m; ++i) prefix[i + 1] = prefix[i] + static_cast<double>(v[i]);
    std::vector<std::size_t> bound(k + 1);  // bucket b is v[bound[b] .. bound[b + 1])
    for (uint32_t b = 0; b <= k; ++b) bound[b] = m * b / k;
    auto set_levels = [&] {
        for (uint32_t b = 0; b < k; ++b) {
            const std::size_t lo = bound[b], hi = bound[b + 1];
            if (hi > lo)
                levels[b] = static_cast<float>((prefix[hi] - prefix[lo]) / static_cast<double>(hi - lo));
        }
    };
    // Equal-count start; an empty run (fewer values than buckets) borrows
    // its neighbour's value so the levels stay ordered.
    for (uint32_t b = 0; b < k; ++b) levels[b] = v[std::min(bound[b], m - 1)];
    set_levels();
    for (int round = 0; round < LLOYD_ROUNDS; ++round) {
        for (uint32_t b = 0; b + 1 < k; ++b) {
            cuts[b] = static_cast<float>(
                (static_cast<double>(levels[b]) + static_cast<double>(levels[b + 1])) / 2.0);
            // First value at or above the cut: the values below it are the buckets before.
            bound[b + 1] =
                static_cast<std::size_t>(std::lower_bound(v.begin(), v.end(), cuts[b]) - v.begin());
        }
        set_levels();
    }
    for (uint32_t b = 0; b + 1 < k; ++b)
        cuts[b] =
            static_cast<float>((static_cast<double>(levels[b]) + static_cast<double>(levels[b + 1])) / 2.0);
}

inline uint32_t bucket_of(float value, const float* cuts, uint32_t n_cuts) {
    uint32_t b = 0;
    for (uint32_t c = 0; c < n_cuts; ++c) b += value >= cuts[c] ? 1u : 0u;  // false for NaN
    return b;
}

// Moves the buckets b[0 .. dim-1] of residual r (x's, to its centroid) to
// the levels that lower ||e||^2 + (SCORE_WEIGHT - 1) (u . e)^2, e = r - the
// reconstruction, u = x / ||x||: an error along x itself moves the scores of
// the queries that find x (the ones near it) the most, so it weighs
// SCORE_WEIGHT times an error across x. Coordinate descent from the given
// buckets: up to SCORE_PASSES passes over the dimensions in increasing
// order, each taking the lowest-loss level (strictly lower than the
// current one's to move), all in double in that order. A vector of zero or
// non-finite length keeps its buckets.
void refine_buckets(const float* x, const float* r, const ResidualQuantiser& qz, uint32_t* b, double* e) {
    const auto d = static_cast<std::size_t>(qz.dim);
    const uint32_t k = qz.buckets();
    double norm2 = 0.0;
    for (std::size_t p = 0; p < d; ++p) norm2 = norm2 + static_cast<double>(x[p]) * static_cast<double>(x[p]);
    if (!(norm2 > 0.0) || !std::isfinite(norm2)) return;
    const double inv = 1.0 / std::sqrt(norm2), lam = SCORE_WEIGHT - 1.0;
    double s = 0.0;  // u . e
    for (std::size_t p = 0; p < d; ++p) {
        e[p] = static_cast<double>(r[p]) - static_cast<double>(qz.levels[p * k + b[p]]);
        s = s + static_cast<double>(x[p]) * inv * e[p];
    }
    if (!std::isfinite(s)) return;
    for (int pass = 0; pass < SCORE_PASSES; ++pass) {
        bool moved = false;
        for (std::size_t p = 0; p < d; ++p) {
            const double u = static_cast<double>(x[p]) * inv, z = static_cast<double>(r[p]);
            const double rest = s - u * e[p];
            auto loss = [&](uint32_t level) {
                const double err = z - static_cast<double>(qz.levels[p * k + level]);
                const double along = rest + u * err;
                return err * err + lam * (along * along);
            };
            uint32_t best = b[p];
            double best_loss = loss(best);
            for (uint32_t level = 0; level < k; ++level) {
                const double l = loss(level);
                if (l < best_loss) best = level, best_loss = l;
            }
            if (best != b[p]) {
                b[p] = best;
                moved = true;
                e[p] = z - static_cast<double>(qz.levels[p * k + best]);
                s = rest + u * e[p];
            }
        }
        if (!moved) break;
    }
}

}  // namespace

void check_quantiser(const CentroidView& centroids, const ResidualQuantiser& quantiser) {
    check_centroids(centroids);
    if (!supported_bits(quantiser.bits))
        throw InvalidInput("residual bits must be 1, 2 or 4, got " + std::to_string(quantiser.bits));
    if (quantiser.dim != centroids.dim)
        throw InvalidInput("the quantiser has dimension " + std::to_string(quantiser.dim) +
                           "; the codebook has " + std::to_string(centroids.dim));
    const uint64_t k = quantiser.buckets();
    if (quantiser.levels.size() != quantiser.dim * k || quantiser.cuts.size() != quantiser.dim * (k - 1))
        throw InvalidInput("the quantiser's tables hold " + std::to_string(quantiser.levels.size()) +
                           " levels and " + std::to_string(quantiser.cuts.size()) + " cuts, expected " +
                           std::to_string(quantiser.dim * k) + " and " +
                           std::to_string(quantiser.dim * (k - 1)));
}

ResidualQuantiser train_residual_quantiser(const CentroidView& centroids, const float* vectors, uint64_t n,
                                           uint32_t bits, uint64_t sample, uint64_t seed,
                                           parallel::ThreadPool* pool) {
    check_centroids(centroids);
    if (!supported_bits(bits))
        throw InvalidInput("residual bits must be 1, 2 or 4, got " + std::to_string(bits));
    const uint64_t dim = centroids.dim;
    const auto d = static_cast<std::size_t>(dim);
    const uint32_t k = 1u << bits;
    ResidualQuantiser out{dim, bits, std::vector<float>(d * (k - 1), 0.0f), std::vector<float>(d * k, 0.0f)};

    // The sampled rows gathered, assigned and turned into residuals.
    const std::vector<uint64_t> rows = sample_rows(n, sample, seed);
    const std::size_t m = rows.size();
    std::vector<float> residuals(m * d);
    for (std::size_t i = 0; i < m; ++i) std::copy_n(vectors + rows[i] * d, d, residuals.data() + i * d);
    std::vector<uint32_t> codes(m);
    const PreparedCentroids prepared(centroids.data, centroids.n_fine, dim);
    run(pool, m, CODE_BLOCK, [&](std::size_t b, std::size_t e) {
        std::vector<float> scratch;
        for (std::size_t i0 = b; i0 < e; i0 += CODE_BLOCK) {
            const std::size_t len = std::min(CODE_BLOCK, e - i0);
            assign_block(prepared, residuals.data() + i0 * d, len, dim, scratch, codes.data() + i0);
            for (std::size_t i = i0; i < i0 + len; ++i) {
                const float* c = centroids.data + static_cast<std::size_t>(codes[i]) * d;
                float* r = residuals.data() + i * d;
                for (std::size_t p = 0; p < d; ++p) r[p] = r[p] - c[p];
            }
        }
    });

    // One dimension per task step; each writes only its own rows of the tables.
    run(pool, d, 8, [&](std::size_t b, std::size_t e) {
        std::vector<float> column;
        for (std::size_t p = b; p < e; ++p) {
            column.clear();
            for (std::size_t i = 0; i < m; ++i) {
                const float x = residuals[i * d + p];
                if (std::isfinite(x)) column.push_back(x);
            }
            std::sort(column.begin(), column.end());
            train_dimension(column, k, out.cuts.data() + p * (k - 1), out.levels.data() + p * k);
        }
    });
    return out;
}

void encode_residual_codes(const CentroidView& centroids, const ResidualQuantiser& quantiser,
                           const float* vectors, uint64_t n, uint16_t* fine, uint8_t* residual,
                           parallel::ThreadPool* pool) {
    check_quantiser(centroids, quantiser);
    const uint64_t dim = centroids.dim;
    const auto d = static_cast<std::size_t>(dim);
    const uint32_t bits = quantiser.bits;
    const uint32_t n_cuts = quantiser.buckets() - 1;
    const uint32_t per_byte = 8 / bits;
    const auto stride = static_cast<std::size_t>(residual_bytes(dim, bits));
    const PreparedCentroids prepared(centroids.data, centroids.n_fine, dim);
    run(pool, static_cast<std::size_t>(n), CODE_BLOCK, [&](std::size_t begin, std::size_t end) {
        std::vector<float> scratch, res(d);
        std::vector<uint32_t> codes(CODE_BLOCK), buckets(d);
        std::vector<double> err(d);
        for (std::size_t i0 = begin; i0 < end; i0 += CODE_BLOCK) {
            const std::size_t len = std::min(CODE_BLOCK, end - i0);
            assign_block(prepared, vectors + i0 * d, len, dim, scratch, codes.data());
            for (std::size_t r = 0; r < len; ++r) {
                const std::size_t i = i0 + r;
                fine[i] = static_cast<uint16_t>(codes[r]);
                const float* x = vectors + i * d;
                const float* c = centroids.data + static_cast<std::size_t>(codes[r]) * d;
                for (std::size_t p = 0; p < d; ++p) {
                    res[p] = x[p] - c[p];
                    buckets[p] = bucket_of(res[p], quantiser.cuts.data() + p * n_cuts, n_cuts);
                }
                refine_buckets(x, res.data(), quantiser, buckets.data(), err.data());
                uint8_t* out = residual + i * stride;
                std::fill(out, out + stride, uint8_t{0});
                for (std::size_t p = 0; p < d; ++p)
                    out[p / per_byte] =
                        static_cast<uint8_t>(out[p / per_byte] | (buckets[p] << ((p % per_byte) * bits)));
            }
        }
    });
}

}  // namespace qor
