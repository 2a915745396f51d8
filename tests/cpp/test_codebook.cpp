// Codebook training (clamps, seeds, coarse labels, distance table) and idf.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "codebook/codebook.hpp"
#include "codebook/kmeans.hpp"
#include "codebook/normalize.hpp"
#include "codebook/rng.hpp"
#include "common/errors.hpp"
#include "common/matrix.hpp"
#include "parallel/thread_pool.hpp"
#include "test_rows.hpp"

namespace {

std::vector<float> random_rows(std::size_t n, std::size_t d, uint64_t seed) {
    return qortest::random_rows(n, d, seed, 5, 4194304.0f);
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

}  // namespace

TEST(centroid_counts_are_clamped_and_arrays_sized) {
    // One row trains a single centroid but still reports two fine clusters:
    // the arrays describe the one trained centroid, idf all the reported ones.
    struct Case {
        uint64_t n, n_fine, n_coarse, want_fine, want_coarse, want_rows;
    };
    for (const Case c :
         {Case{1, 256, 32, 2, 2, 1}, Case{100, 1, 32, 2, 2, 2}, Case{200, 64, 100, 64, 32, 64}}) {
        const std::size_t d = 6;
        const auto cb = qor::train_codebook(random_rows(c.n, d, c.n), c.n, d, c.n_fine, c.n_coarse, 5);
        CHECK_EQ(cb.n_fine, c.want_fine);
        CHECK_EQ(cb.n_coarse, c.want_coarse);
        CHECK_EQ(cb.cquant.size(), c.want_rows * d);
        CHECK_EQ(cb.cindex_labels.size(), c.want_rows);
        CHECK_EQ(cb.centroid_dists.size(), c.want_rows * c.want_rows);
        CHECK(cb.idf == std::vector<float>(c.want_fine, 1.0f));
        for (const uint32_t l : cb.cindex_labels) CHECK(l < c.want_coarse);
    }
}

TEST(zero_iterations_sample_normalised_rows_into_coarse_cluster_zero) {
    const std::size_t n = 30, d = 4;
    const auto x = random_rows(n, d, 9);
    const auto cb = qor::train_codebook(x, n, d, 8, 4, 0);
    const auto xn = qor::normalize_rows(qor::MatrixRef::contiguous(x.data(), n, d));
    qor::ChaChaRng rng(qor::FINE_SEED);
    const auto perm = qor::shuffled_indices(n, rng);
    // k-means normalises its centroids again, so a sampled unit row may move
    // in its last bits: compare with the twice-normalised row.
    for (std::size_t c = 0; c < 8; ++c) {
        const auto again = qor::normalize_rows(qor::MatrixRef::contiguous(xn.data() + perm[c] * d, 1, d));
        CHECK(std::memcmp(cb.cquant.data() + c * d, again.data(), d * sizeof(float)) == 0);
    }
    CHECK(cb.cindex_labels == std::vector<uint32_t>(8, 0));
}

TEST(distance_table_and_coarse_labels_on_any_number_of_workers) {
    const std::size_t n = 3000, d = 24;
    const auto x = random_rows(n, d, 12);
    qor::TwoStageCodebook first;
    for (const std::size_t threads : {1, 2, 8}) {
        qor::parallel::ThreadPool pool(threads);
        qor::parallel::ScopedPool guard(pool);
        const auto cb = qor::train_codebook(x, n, d, 128, 16, 15);
        if (threads > 1) {
            CHECK(same_bits(cb.cquant, first.cquant));
            CHECK(same_bits(cb.centroid_dists, first.centroid_dists));
            CHECK(cb.cindex_labels == first.cindex_labels);
            continue;
        }
        first = cb;
        const std::size_t h = cb.n_fine;
        for (std::size_t i = 0; i < h; ++i) {
            CHECK_EQ(cb.centroid_dists[i * h + i], 0.0f);
            for (std::size_t j = i + 1; j < h; ++j)
                CHECK(std::memcmp(&cb.centroid_dists[i * h + j], &cb.centroid_dists[j * h + i], 4) == 0);
        }
        // One entry recomputed: sqrtf of the float sum of squared differences.
        float sum = -0.0f;
        for (std::size_t k = 0; k < d; ++k) {
            const float diff = cb.cquant[3 * d + k] - cb.cquant[17 * d + k];
            sum = sum + diff * diff;
        }
        CHECK_EQ(cb.centroid_dists[3 * h + 17], std::sqrt(sum));
        // Coarse labels come from a k-means over the fine centroids with its own seed.
        const auto fine = qor::MatrixRef::contiguous(cb.cquant.data(), h, d);
        const auto coarse = qor::kmeans(fine, cb.n_coarse, 15, qor::COARSE_SEED);
        for (std::size_t f = 0; f < h; ++f) CHECK_EQ(uint64_t{cb.cindex_labels[f]}, coarse.labels[f]);
    }
}

TEST(short_slice_is_an_internal_failure) {
    const std::vector<float> x(11, 1.0f);
    CHECK_THROWS(qor::train_codebook(x, 3, 4, 256, 32, 5), qor::InternalFailure, "vector shape mismatch");
    CHECK_THROWS(qor::train_codebook(x, uint64_t{1} << 62, 8, 256, 32, 5), qor::InternalFailure,
                 "vector shape mismatch");
}

TEST(idf_values) {
    // Ten documents; code 3 occurs in four of them (twice in one), code 1 in
    // all, code 0 in none; codes at or above k_fine are ignored.
    std::vector<std::vector<uint32_t>> docs(10);
    for (std::size_t i = 0; i < 10; ++i) docs[i] = {1, 99};
    for (const std::size_t i : {0, 2, 5, 9}) docs[i].push_back(3);
    docs[5].push_back(3);
    docs[6] = {2, 2, 2, 1};
    const auto idf = qor::compute_idf(docs, 5);
    CHECK_EQ(idf.size(), std::size_t{5});
    CHECK_EQ(idf[3], std::log(11.0f / 5.0f));
    CHECK_EQ(idf[1], 0.0f);
    CHECK_EQ(idf[0], std::log(11.0f));
    CHECK_EQ(idf[2], std::log(11.0f / 2.0f));  // three occurrences in one document count once
    CHECK(qor::compute_idf({}, 4) == std::vector<float>(4, std::log(2.0f)));
    CHECK(qor::compute_idf(docs, 0).empty());
}

QORTEST_MAIN()
