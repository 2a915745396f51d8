// Seeded k-means: initialisation, stop rules, ties, NaN rows, empty clusters,
// degenerate shapes, and identical bytes on any number of workers.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "check.hpp"
#include "codebook/kmeans.hpp"
#include "codebook/rng.hpp"
#include "common/matrix.hpp"
#include "parallel/thread_pool.hpp"

using qor::MatrixRef;

namespace {

std::vector<float> random_rows(std::size_t n, std::size_t d, uint64_t seed) {
    std::vector<float> v(n * d);
    uint64_t s = seed * 0x9E3779B97F4A7C15ULL + 3;
    for (float& x : v) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        x = static_cast<float>(static_cast<int64_t>(s >> 40) - (int64_t{1} << 23)) / 8388608.0f;
    }
    return v;
}

std::vector<float> normalized(const std::vector<float>& v, std::size_t n, std::size_t d) {
    return qor::normalize_rows(MatrixRef::contiguous(v.data(), n, d));
}

std::vector<float> row(const std::vector<float>& m, std::size_t i, std::size_t d) {
    return {m.begin() + static_cast<std::ptrdiff_t>(i * d),
            m.begin() + static_cast<std::ptrdiff_t>((i + 1) * d)};
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Straightforward k-means from the written rules, one row and one centroid
// at a time on the scalar reference.
qor::KMeansResult reference_kmeans(const std::vector<float>& x, uint64_t n, uint64_t d, uint64_t k,
                                   uint64_t max_iter, uint64_t seed) {
    const uint64_t ke = std::min(k, n);
    qor::ChaChaRng rng(seed);
    const auto perm = qor::shuffled_indices(n, rng);
    std::vector<float> c;
    for (uint64_t i = 0; i < ke; ++i) {
        const auto r = row(x, perm[i], d);
        c.insert(c.end(), r.begin(), r.end());
    }
    std::vector<uint64_t> prev(n, 0), labels(n, 0);
    for (uint64_t t = 0; t < max_iter; ++t) {
        for (uint64_t i = 0; i < n; ++i)
            labels[i] = qor::nearest_centroid({x.data() + i * d, d}, MatrixRef::contiguous(c.data(), ke, d));
        if (labels == prev) break;
        std::vector<float> sums(ke * d, 0.0f);
        std::vector<uint64_t> counts(ke, 0);
        for (uint64_t i = 0; i < n; ++i) {
            for (uint64_t j = 0; j < d; ++j) sums[labels[i] * d + j] += x[i * d + j];
            counts[labels[i]] += 1;
        }
        for (uint64_t ci = 0; ci < ke; ++ci)
            if (counts[ci] > 0)
                for (uint64_t j = 0; j < d; ++j)
                    c[ci * d + j] = sums[ci * d + j] / static_cast<float>(counts[ci]);
        prev = labels;
    }
    return {normalized(c, ke, d), ke, d, prev};
}

}  // namespace

TEST(normalize_rows_floor_nan_and_strides) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    CHECK_EQ(std::bit_cast<uint32_t>(qor::NORM_FLOOR), 0x322BCC77u);
    CHECK_EQ(std::bit_cast<uint32_t>(qor::NEAREST_START), 0x7F7FFFFFu);
    const std::vector<float> m = {3.0f, 4.0f, 0.0f, 0.0f, 1e-9f, 0.0f, nan, 1.0f};
    const auto out = qor::normalize_rows(MatrixRef::contiguous(m.data(), 4, 2));
    CHECK_EQ(out[0], 0.6f);
    CHECK_EQ(out[1], 0.8f);
    CHECK(out[2] == 0.0f && !std::signbit(out[2]));
    CHECK_EQ(out[4], 1e-9f / 1e-8f);  // below the floor: divided by the floor, not by its norm
    CHECK(std::isnan(out[6]) && std::isnan(out[7]));
    // A transposed view reads the same values as its contiguous copy.
    const std::vector<float> t = {3.0f, 0.0f, 4.0f, 0.0f};  // columns are the rows (3,4) and (0,0)
    const auto tv = qor::normalize_rows(MatrixRef{t.data(), 2, 2, 1, 2});
    CHECK(same_bits(tv, {0.6f, 0.8f, 0.0f, 0.0f}));
    CHECK(qor::normalize_rows(MatrixRef::contiguous(m.data(), 3, 0)).empty());
}

TEST(fewer_rows_than_clusters_returns_shuffled_rows) {
    const std::size_t n = 3, d = 4;
    const auto x = normalized(random_rows(n, d, 1), n, d);
    qor::ChaChaRng rng(42);
    const auto perm = qor::shuffled_indices(n, rng);
    for (const uint64_t iters : {0, 5}) {
        const auto r = qor::kmeans(MatrixRef::contiguous(x.data(), n, d), 5, iters, 42);
        CHECK_EQ(r.k, uint64_t{3});
        CHECK_EQ(r.labels.size(), n);
        for (std::size_t c = 0; c < n; ++c)
            CHECK(same_bits(row(r.centroids, c, d), normalized(row(x, perm[c], d), 1, d)));
    }
}

TEST(single_cluster_stops_on_first_pass_without_averaging) {
    const std::size_t n = 50, d = 8;
    const auto x = normalized(random_rows(n, d, 2), n, d);
    const auto r = qor::kmeans(MatrixRef::contiguous(x.data(), n, d), 1, 30, 7);
    qor::ChaChaRng rng(7);
    const auto perm = qor::shuffled_indices(n, rng);
    CHECK(same_bits(r.centroids, normalized(row(x, perm[0], d), 1, d)));
    CHECK(r.labels == std::vector<uint64_t>(n, 0));
}

TEST(zero_iterations_keep_sampled_rows_and_zero_labels) {
    const std::size_t n = 40, d = 5;
    const auto x = random_rows(n, d, 3);  // not unit length: the result is normalised anyway
    const auto r = qor::kmeans(MatrixRef::contiguous(x.data(), n, d), 6, 0, 11);
    qor::ChaChaRng rng(11);
    const auto perm = qor::shuffled_indices(n, rng);
    for (std::size_t c = 0; c < 6; ++c)
        CHECK(same_bits(row(r.centroids, c, d), normalized(row(x, perm[c], d), 1, d)));
    CHECK(r.labels == std::vector<uint64_t>(n, 0));
}

TEST(one_row_is_its_own_centroid) {
    const std::vector<float> x = {2.0f, 0.0f, 0.0f};
    const auto r = qor::kmeans(MatrixRef::contiguous(x.data(), 1, 3), 4, 10, 99);
    CHECK(same_bits(r.centroids, {1.0f, 0.0f, 0.0f}));
    CHECK(r.labels == std::vector<uint64_t>{0});
}

TEST(ties_go_low_and_an_empty_cluster_keeps_its_centroid) {
    // Rows 0 and 1 are equal, so two of the three initial centroids coincide:
    // both rows go to the lower of the two, the higher one stays empty.
    const std::vector<float> x = {1, 0, 1, 0, 0, 1};
    const auto r = qor::kmeans(MatrixRef::contiguous(x.data(), 3, 2), 3, 10, 5);
    qor::ChaChaRng rng(5);
    const auto perm = qor::shuffled_indices(3, rng);
    std::vector<uint64_t> dup;
    uint64_t other = 0;
    for (uint64_t c = 0; c < 3; ++c) {
        if (perm[c] == 2)
            other = c;
        else
            dup.push_back(c);
    }
    CHECK_EQ(dup.size(), std::size_t{2});
    CHECK_EQ(r.labels[0], dup[0]);
    CHECK_EQ(r.labels[1], dup[0]);
    CHECK_EQ(r.labels[2], other);
    CHECK(same_bits(row(r.centroids, dup[1], 2), {1.0f, 0.0f}));
}

TEST(nan_row_is_labelled_zero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> x = normalized(random_rows(20, 3, 4), 20, 3);
    x[7 * 3 + 1] = nan;
    const auto r = qor::kmeans(MatrixRef::contiguous(x.data(), 20, 3), 4, 1, 8);
    CHECK_EQ(r.labels[7], uint64_t{0});
    const auto full = qor::kmeans(MatrixRef::contiguous(x.data(), 20, 3), 4, 30, 8);
    CHECK_EQ(full.labels[7], uint64_t{0});
}

TEST(empty_and_zero_width_inputs) {
    const auto none = qor::kmeans(MatrixRef::contiguous(nullptr, 0, 4), 8, 30, 42);
    CHECK_EQ(none.k, uint64_t{0});
    CHECK(none.centroids.empty() && none.labels.empty());
    const auto flat = qor::kmeans(MatrixRef::contiguous(nullptr, 5, 0), 3, 30, 42);
    CHECK_EQ(flat.k, uint64_t{3});
    CHECK(flat.centroids.empty());
    CHECK(flat.labels == std::vector<uint64_t>(5, 0));
}

TEST(matches_reference_and_is_independent_of_worker_count) {
    struct Shape {
        std::size_t n, d, k, iters;
        uint64_t seed;
    };
    for (const Shape s :
         {Shape{3000, 17, 40, 30, 42}, Shape{2000, 64, 100, 3, 43}, Shape{500, 5, 33, 50, 1}}) {
        const auto x = normalized(random_rows(s.n, s.d, s.seed), s.n, s.d);
        const auto want = reference_kmeans(x, s.n, s.d, s.k, s.iters, s.seed);
        for (const std::size_t threads : {1, 2, 8}) {
            qor::parallel::ThreadPool pool(threads);
            qor::parallel::ScopedPool guard(pool);
            const auto got = qor::kmeans(MatrixRef::contiguous(x.data(), s.n, s.d), s.k, s.iters, s.seed);
            CHECK(same_bits(got.centroids, want.centroids));
            CHECK(got.labels == want.labels);
        }
    }
}

QORTEST_MAIN()
