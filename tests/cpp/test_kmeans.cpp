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
#include "codebook/normalize.hpp"
#include "codebook/rng.hpp"
#include "common/matrix.hpp"
#include "parallel/thread_pool.hpp"
#include "test_rows.hpp"

using qor::MatrixRef;

namespace {

std::vector<float> random_rows(std::size_t n, std::size_t d, uint64_t seed) {
    return qortest::random_rows(n, d, seed, 3, 8388608.0f);
}

std::vector<float> normalized(const float* rows, std::size_t n, std::size_t d) {
    return qor::normalize_rows(MatrixRef::contiguous(rows, n, d));
}

bool same_bits(const float* a, const std::vector<float>& b) {
    return b.empty() || std::memcmp(a, b.data(), b.size() * sizeof(float)) == 0;
}

// FNV-1a over the centroid bits and the labels.
uint64_t digest(const qor::KMeansResult& r) {
    uint64_t h = 0xcbf29ce484222325ULL;
    auto add = [&](uint64_t v) { h = (h ^ v) * 0x100000001b3ULL; };
    for (const float c : r.centroids) add(std::bit_cast<uint32_t>(c));
    for (const uint64_t l : r.labels) add(l);
    return h;
}

}  // namespace

TEST(normalize_rows_floor_nan_and_strides) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> m = {3.0f, 4.0f, 0.0f, 0.0f, 1e-9f, 0.0f, nan, 1.0f};
    const auto out = normalized(m.data(), 4, 2);
    CHECK_EQ(out[0], 0.6f);
    CHECK_EQ(out[1], 0.8f);
    CHECK(out[2] == 0.0f && !std::signbit(out[2]));
    CHECK_EQ(out[4], 1e-9f / 1e-8f);  // below the floor: divided by the floor, not by its norm
    CHECK(std::isnan(out[6]) && std::isnan(out[7]));
    // A transposed view reads the same values as its contiguous copy.
    const std::vector<float> t = {3.0f, 0.0f, 4.0f, 0.0f};  // columns are the rows (3,4) and (0,0)
    CHECK(same_bits(qor::normalize_rows(MatrixRef{t.data(), 2, 2, 1, 2}).data(), {0.6f, 0.8f, 0.0f, 0.0f}));
    CHECK(normalized(m.data(), 3, 0).empty());
}

TEST(centroids_start_as_the_shuffled_rows) {
    // Without a pass that moves anything the centroids are the first
    // min(k, n) rows of the seeded shuffle, normalised: no passes, one
    // cluster (the first assignment repeats the all-zero labels), or at most
    // one row per cluster (each mean is its own row).
    struct Case {
        std::size_t n, k, iters;
        uint64_t seed;
        bool zero_labels;
    };
    for (const Case c : {Case{40, 6, 0, 11, true}, Case{50, 1, 30, 7, true}, Case{3, 5, 0, 42, true},
                         Case{3, 5, 5, 42, false}, Case{1, 4, 10, 99, true}}) {
        const std::size_t d = 5;
        const auto x = random_rows(c.n, d, c.n);  // not unit length: the result is normalised anyway
        const auto r = qor::kmeans(MatrixRef::contiguous(x.data(), c.n, d), c.k, c.iters, c.seed);
        qor::ChaChaRng rng(c.seed);
        const auto perm = qor::shuffled_indices(c.n, rng);
        const std::size_t ke = std::min(c.k, c.n);
        CHECK_EQ(r.k, uint64_t{ke});
        CHECK_EQ(r.centroids.size(), ke * d);
        for (std::size_t i = 0; i < ke && r.centroids.size() == ke * d; ++i)
            CHECK(same_bits(r.centroids.data() + i * d, normalized(x.data() + perm[i] * d, 1, d)));
        CHECK_EQ(r.labels.size(), c.n);
        if (c.zero_labels) CHECK(r.labels == std::vector<uint32_t>(c.n, 0));
    }
}

TEST(ties_go_low_and_an_empty_cluster_keeps_its_centroid) {
    // Rows 0 and 1 are equal, so two of the three initial centroids coincide:
    // both rows go to the lower of the two, the higher one stays empty.
    const std::vector<float> x = {1, 0, 1, 0, 0, 1};
    const auto r = qor::kmeans(MatrixRef::contiguous(x.data(), 3, 2), 3, 10, 5);
    qor::ChaChaRng rng(5);
    const auto perm = qor::shuffled_indices(3, rng);
    std::vector<uint32_t> dup;
    uint32_t other = 0;
    for (uint32_t c = 0; c < 3; ++c) {
        if (perm[c] == 2)
            other = c;
        else
            dup.push_back(c);
    }
    CHECK_EQ(dup.size(), std::size_t{2});
    CHECK(r.labels == (std::vector<uint32_t>{dup[0], dup[0], other}));
    CHECK(same_bits(r.centroids.data() + dup[1] * 2, {1.0f, 0.0f}));
}

TEST(nan_row_is_labelled_zero) {
    std::vector<float> x = normalized(random_rows(20, 3, 4).data(), 20, 3);
    x[7 * 3 + 1] = std::numeric_limits<float>::quiet_NaN();
    for (const uint64_t iters : {1, 30})
        CHECK_EQ(qor::kmeans(MatrixRef::contiguous(x.data(), 20, 3), 4, iters, 8).labels[7], uint32_t{0});
}

TEST(empty_and_zero_width_inputs) {
    const auto none = qor::kmeans(MatrixRef::contiguous(nullptr, 0, 4), 8, 30, 42);
    CHECK_EQ(none.k, uint64_t{0});
    CHECK(none.centroids.empty() && none.labels.empty());
    const auto flat = qor::kmeans(MatrixRef::contiguous(nullptr, 5, 0), 3, 30, 42);
    CHECK_EQ(flat.k, uint64_t{3});
    CHECK(flat.centroids.empty());
    CHECK(flat.labels == std::vector<uint32_t>(5, 0));
}

TEST(pinned_results_on_any_number_of_workers) {
    // Digests of results checked against a direct one-row-at-a-time
    // implementation of the rules: an early stop, the iteration cap, and
    // tails of every vector width.
    struct Shape {
        std::size_t n, d, k, iters;
        uint64_t seed, digest;
    };
    for (const Shape s : {Shape{3000, 17, 40, 30, 42, 11884355514076527459ULL},
                          Shape{2000, 64, 100, 3, 43, 11902618645590081954ULL},
                          Shape{500, 5, 33, 50, 1, 8510822637487368495ULL}}) {
        const auto x = normalized(random_rows(s.n, s.d, s.seed).data(), s.n, s.d);
        for (const std::size_t threads : {1, 2, 8}) {
            qor::parallel::ThreadPool pool(threads);
            qor::parallel::ScopedPool guard(pool);
            const auto got = qor::kmeans(MatrixRef::contiguous(x.data(), s.n, s.d), s.k, s.iters, s.seed);
            CHECK_EQ(digest(got), s.digest);
        }
    }
}

QORTEST_MAIN()
