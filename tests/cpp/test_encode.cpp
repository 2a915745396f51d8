// Encoding to fine codes, C_top selection and the proxy distance.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "check.hpp"
#include "codebook/codebook.hpp"
#include "codebook/ctop.hpp"
#include "codebook/encode.hpp"
#include "codebook/nearest.hpp"
#include "codebook/normalize.hpp"
#include "codebook/proxy_distance.hpp"
#include "common/errors.hpp"
#include "common/matrix.hpp"
#include "parallel/thread_pool.hpp"

namespace {

// A codebook for C_top tests: n_fine codes, given labels and idf.
qor::TwoStageCodebook ctop_codebook(std::vector<uint32_t> labels, std::vector<float> idf, uint64_t n_coarse) {
    qor::TwoStageCodebook cb;
    cb.n_fine = labels.size();
    cb.n_coarse = n_coarse;
    cb.cindex_labels = std::move(labels);
    cb.idf = std::move(idf);
    return cb;
}

}  // namespace

TEST(encoding_normalises_and_uses_the_nearest_centroid) {
    const std::size_t n = 700, d = 20;
    std::vector<float> x(n * d);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>((i * 7919) % 401) / 100.0f - 2.0f;
    const auto cb = qor::train_codebook(x, n, d, 50, 8, 10);
    std::vector<float> wide = x;
    wide.push_back(123.0f);  // values beyond n_rows * dim are ignored
    const auto codes = qor::encode_vectors(cb, wide, n);
    const auto xn = qor::normalize_rows(qor::MatrixRef::contiguous(x.data(), n, d));
    const auto cm = qor::MatrixRef::contiguous(cb.cquant.data(), cb.n_fine, d);
    CHECK_EQ(codes.size(), n);
    for (std::size_t i = 0; i < n; ++i) CHECK_EQ(codes[i], qor::nearest_centroid({xn.data() + i * d, d}, cm));
    CHECK(qor::encode_vectors(cb, {}, 0).empty());
    for (const std::size_t threads : {1, 2, 8}) {
        qor::parallel::ThreadPool pool(threads);
        qor::parallel::ScopedPool guard(pool);
        CHECK(qor::encode_vectors(cb, x, n) == codes);
    }
}

TEST(encoding_ties_nan_and_zero_rows) {
    qor::TwoStageCodebook cb;
    cb.dim = 2;
    cb.n_fine = 3;
    cb.cquant = {1, 0, 0, 1, 1, 0};  // centroids 0 and 2 are equal
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> rows = {5, 0, 0, 3, nan, 1, 0, 0};
    // The zero row is equally far (1) from all three centroids.
    CHECK(qor::encode_vectors(cb, rows, 4) == (std::vector<uint32_t>{0, 1, 0, 0}));
}

TEST(encoding_shape_failures) {
    qor::TwoStageCodebook cb;
    cb.dim = 4;
    cb.n_fine = 2;
    cb.cquant.assign(4, 0.5f);  // one row short, as after training on a single vector
    const std::vector<float> rows(8, 1.0f);
    CHECK_THROWS(qor::encode_vectors(cb, rows, 0), qor::InternalFailure, "codebook shape mismatch");
    CHECK_THROWS(qor::encode_vectors(cb, {}, 5), qor::InternalFailure, "codebook shape mismatch");
    cb.cquant.assign(8, 0.5f);
    CHECK_THROWS(qor::encode_vectors(cb, rows, 3), qor::InternalFailure, "vector shape mismatch");
    CHECK_THROWS(qor::encode_vectors(cb, rows, uint64_t{1} << 62), qor::InternalFailure,
                 "vector shape mismatch");
    cb.n_fine = uint64_t{1} << 62;
    CHECK_THROWS(qor::encode_vectors(cb, rows, 1), qor::InternalFailure, "codebook shape mismatch");
}

TEST(top_clusters_examples) {
    std::vector<uint32_t> labels(10, 1);
    std::vector<float> idf(10, 0.1f);
    labels[5] = 2, labels[9] = 0, idf[5] = 0.5f, idf[9] = 0.8f;
    const auto cb = ctop_codebook(labels, idf, 4);
    const std::vector<uint32_t> codes = {5, 5, 9};
    CHECK(qor::top_coarse_clusters(cb, codes, 3) == (std::vector<uint32_t>{2, 0}));
    CHECK(qor::top_coarse_clusters(cb, codes, 1) == (std::vector<uint32_t>{2}));
    CHECK(qor::top_coarse_clusters(cb, codes, 0).empty() && qor::top_coarse_clusters(cb, {}, 3).empty());
    // Out-of-range codes are skipped.
    CHECK(qor::top_coarse_clusters(cb, std::vector<uint32_t>{10, 9, 4000000000u}, 3) ==
          (std::vector<uint32_t>{0}));
}

TEST(top_clusters_ties_zero_idf_and_bad_labels) {
    // Codes 0..3 in clusters 3, 1, 2, 0 with equal weight: increasing id order.
    const auto tie = ctop_codebook({3, 1, 2, 0, 7}, {0.25f, 0.25f, 0.25f, 0.25f, 9.0f}, 4);
    CHECK(qor::top_coarse_clusters(tie, std::vector<uint32_t>{0, 1, 2, 3, 4}, 10) ==
          (std::vector<uint32_t>{0, 1, 2, 3}));
    const auto zero = ctop_codebook({0, 1, 1}, {0.0f, 0.0f, 0.0f}, 2);
    CHECK(qor::top_coarse_clusters(zero, std::vector<uint32_t>{0, 1, 2, 2}, 3).empty());
    const auto nan = ctop_codebook({0, 1}, {std::numeric_limits<float>::quiet_NaN(), 1.0f}, 2);
    CHECK(qor::top_coarse_clusters(nan, std::vector<uint32_t>{0, 1}, 3) == (std::vector<uint32_t>{1}));
    // An oversized cluster count costs nothing beyond the labels in use.
    const auto huge = ctop_codebook({4000000000u, 2, 4000000000u}, {1.0f, 2.0f, 0.5f}, uint64_t{1} << 62);
    CHECK(qor::top_coarse_clusters(huge, std::vector<uint32_t>{0, 1, 2}, 3) ==
          (std::vector<uint32_t>{2, 4000000000u}));
    CHECK(qor::top_coarse_clusters(huge, std::vector<uint32_t>{2, 0, 0}, 3) ==
          (std::vector<uint32_t>{4000000000u}));
    auto short_idf = ctop_codebook({0, 1}, {1.0f}, 2);
    CHECK_THROWS(qor::top_coarse_clusters(short_idf, std::vector<uint32_t>{0}, 1), qor::InternalFailure,
                 "codebook shape mismatch");
}

TEST(long_cluster_lists_keep_the_stable_order) {
    // 30 clusters, one code each, in three weight classes: within a class the
    // lower cluster id comes first, also past the first 20 clusters.
    std::vector<uint32_t> labels(30), codes(30), want;
    std::vector<float> idf(30);
    for (uint32_t c = 0; c < 30; ++c) {
        labels[c] = 29 - c;  // codes meet the clusters in decreasing id order
        codes[c] = c;
        idf[c] = 0.25f * static_cast<float>(1 + c % 3);
    }
    for (const uint32_t r : {2u, 1u, 0u})  // clusters whose code c has c % 3 == r, weight 0.25 * (1 + r)
        for (uint32_t k = 0; k < 30; ++k)
            if ((29 - k) % 3 == r) want.push_back(k);
    const auto cb = ctop_codebook(labels, idf, 30);
    CHECK(qor::top_coarse_clusters(cb, codes, 30) == want);
    CHECK(qor::top_coarse_clusters(cb, codes, 3) == std::vector<uint32_t>(want.begin(), want.begin() + 3));
}

TEST(proxy_distance_rules) {
    const float big = 3.4028235e38f;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> sims = {0.5f, 0.9f, nan,  -0.2f,  // row 0
                                     nan,  nan,  0.3f, 0.1f,   // row 1
                                     nan,  nan,  nan,  nan};   // row 2
    const std::vector<uint16_t> ids = {0, 1, 2, 7};
    CHECK_EQ(qor::proxy_distance(sims, 0, 4, ids), big);
    CHECK_EQ(qor::proxy_distance(sims, 3, 4, {}), big);
    CHECK_EQ(qor::proxy_distance(sims, 3, 4, std::vector<uint16_t>{4, 9, 65535}), 1.0f);
    // Row 0: max(0.5, 0.9) = 0.9; row 1: 0.3; row 2: nothing valid.
    CHECK_EQ(qor::proxy_distance(sims, 3, 4, ids), 1.0f - (0.9f + 0.3f) / 3.0f);
    CHECK_EQ(qor::proxy_distance(sims, 1, 4, std::vector<uint16_t>{3}), 1.0f - (-0.2f));
    CHECK_THROWS(qor::proxy_distance(std::vector<float>(7), 2, 4, ids), qor::InternalFailure,
                 "similarity shape mismatch");
}

QORTEST_MAIN()
