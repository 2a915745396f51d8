// Every nearest-centroid kernel the processor supports against the scalar
// reference, bit for bit: ties, NaN, infinities, overflow, zero rows and
// sizes that hit every tail of the row and centroid blocking.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "codebook/kmeans.hpp"
#include "codebook/nearest.hpp"
#include "common/matrix.hpp"
#include "parallel/thread_pool.hpp"

using qor::parallel::Isa;

namespace {

struct Rng {
    uint64_t s;
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    float uniform() { return static_cast<float>(next() >> 40) / 16777216.0f * 2.0f - 1.0f; }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

// Kernels to test, decided from the processor rather than best_isa() so a
// forced-scalar environment still exercises them.
std::vector<Isa> supported_isas() {
    std::vector<Isa> out{Isa::Scalar};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) out.push_back(Isa::Avx2);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        out.push_back(Isa::Avx512);
    return out;
}

enum class Flavor { Random, Ties, Special, Overflow };

// rows (n x d) and centroids (k x d) of the given flavour:
//  Random   uniform values
//  Ties     values on a coarse grid and duplicated centroids, so many
//           distances are exactly equal
//  Special  NaN and infinities scattered in rows and centroids, zero rows
//  Overflow values large enough that squares and sums reach infinity
void make_case(Flavor f, std::size_t n, std::size_t k, std::size_t d, uint64_t seed, std::vector<float>& rows,
               std::vector<float>& cents) {
    Rng rng{seed * 0x9E3779B97F4A7C15ULL + 1};
    rows.assign(n * d, 0.0f);
    cents.assign(k * d, 0.0f);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (auto* v : {&rows, &cents}) {
        for (float& x : *v) {
            switch (f) {
                case Flavor::Random:
                    x = rng.uniform();
                    break;
                case Flavor::Ties:
                    x = static_cast<float>(static_cast<int>(rng.below(3)) - 1) * 0.5f;
                    break;
                case Flavor::Special: {
                    const std::size_t r = rng.below(40);
                    x = r == 0 ? nan : r == 1 ? inf : r == 2 ? -inf : rng.uniform();
                    break;
                }
                case Flavor::Overflow:
                    x = rng.uniform() * 3e19f;
                    break;
            }
        }
    }
    if (f == Flavor::Ties && k > 1)
        for (std::size_t c = 1; c < k; c += 2) std::copy_n(&cents[(c - 1) * d], d, &cents[c * d]);
    if (f == Flavor::Special) {
        for (std::size_t i = 0; i < n; i += 3) std::fill_n(&rows[i * d], d, 0.0f);
        if (k > 2) std::fill_n(&cents[(k / 2) * d], d, 0.0f);
    }
}

std::vector<uint32_t> reference(const std::vector<float>& rows, const std::vector<float>& cents,
                                std::size_t n, std::size_t k, std::size_t d) {
    std::vector<uint32_t> out(n);
    const auto cm = qor::MatrixRef::contiguous(cents.data(), k, d);
    for (std::size_t i = 0; i < n; ++i) out[i] = qor::nearest_centroid({rows.data() + i * d, d}, cm);
    return out;
}

}  // namespace

TEST(scalar_reference_rules) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> cents = {1, 0, 0, 1, 1, 0};  // centroids 0 and 2 equal
    const auto cm = qor::MatrixRef::contiguous(cents.data(), 3, 2);
    const std::vector<float> near0 = {0.9f, 0.1f}, nan_row = {nan, 0.0f}, inf_row = {inf, 0.0f},
                             near1 = {0.0f, 2.0f};
    CHECK_EQ(qor::nearest_centroid(near0, cm), 0u);  // tie with centroid 2 goes to the lower index
    CHECK_EQ(qor::nearest_centroid(near1, cm), 1u);
    CHECK_EQ(qor::nearest_centroid(nan_row, cm), 0u);
    CHECK_EQ(qor::nearest_centroid(inf_row, cm), 0u);
}

TEST(distance_of_exactly_the_largest_float_never_wins) {
    // (0,0) to (a, 2^52) sums to exactly 3.4028235e38; with 2^51 it stays below.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float a = std::bit_cast<float>(uint32_t{1602224127});
    const std::vector<float> row = {0.0f, 0.0f};
    for (const float b : {4503599627370496.0f, 2251799813685248.0f}) {
        const std::vector<float> cents = {nan, nan, a, b, a, b};
        const uint32_t want = b == 4503599627370496.0f ? 0u : 1u;
        CHECK_EQ(qor::nearest_centroid(row, qor::MatrixRef::contiguous(cents.data(), 3, 2)), want);
        for (const Isa isa : supported_isas()) {
            uint32_t got = 9;
            qor::PreparedCentroids(cents.data(), 3, 2, isa).nearest(row.data(), 1, &got);
            CHECK_EQ(got, want);
        }
    }
}

TEST(kernels_equal_scalar_on_every_tail) {
    const std::vector<std::size_t> dims = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                           12, 13, 14, 15, 16, 17, 31, 33, 97, 128};
    const std::vector<std::size_t> ks = {1, 2, 7, 15, 16, 17, 31, 32, 33, 48, 65, 100};
    const std::vector<std::size_t> ns = {1, 3, 4, 5, 8, 9, 13, 19};
    const auto isas = supported_isas();
    uint64_t seed = 1;
    int mismatches = 0;
    for (const Flavor f : {Flavor::Random, Flavor::Ties, Flavor::Special, Flavor::Overflow}) {
        for (const std::size_t d : dims) {
            for (const std::size_t k : ks) {
                const std::size_t n = ns[seed % ns.size()];
                std::vector<float> rows, cents;
                make_case(f, n, k, d, seed++, rows, cents);
                const auto want = reference(rows, cents, n, k, d);
                for (const Isa isa : isas) {
                    const qor::PreparedCentroids p(cents.data(), k, d, isa);
                    std::vector<uint32_t> got(n, 0xFFFFFFFFu);
                    p.nearest(rows.data(), n, got.data());
                    if (got != want && ++mismatches <= 5)
                        ::qortest::fail(__FILE__, __LINE__,
                                        std::string(qor::parallel::isa_name(isa)) + " differs: flavor " +
                                            std::to_string(static_cast<int>(f)) + " n " + std::to_string(n) +
                                            " k " + std::to_string(k) + " d " + std::to_string(d));
                }
            }
        }
    }
    CHECK_EQ(mismatches, 0);
}

TEST(kernels_equal_scalar_on_larger_random_blocks) {
    // Many rows, so full row blocks and the partial last block both occur.
    for (const Isa isa : supported_isas()) {
        for (const std::size_t k : {256, 257, 300}) {
            const std::size_t n = 203, d = 128;
            std::vector<float> rows, cents;
            make_case(Flavor::Random, n, k, d, 99 + k, rows, cents);
            const auto want = reference(rows, cents, n, k, d);
            const qor::PreparedCentroids p(cents.data(), k, d, isa);
            std::vector<uint32_t> got(n);
            p.nearest(rows.data(), n, got.data());
            CHECK(got == want);
        }
    }
}

TEST(no_centroids_or_no_dimensions_give_zero) {
    const std::vector<float> rows = {1.0f, 2.0f, 3.0f};
    for (const Isa isa : supported_isas()) {
        std::vector<uint32_t> out(3, 7);
        qor::PreparedCentroids(nullptr, 0, 1, isa).nearest(rows.data(), 3, out.data());
        CHECK(out == std::vector<uint32_t>(3, 0));
        const std::vector<float> none;
        std::fill(out.begin(), out.end(), 7);
        qor::PreparedCentroids(none.data(), 5, 0, isa).nearest(rows.data(), 3, out.data());
        CHECK(out == std::vector<uint32_t>(3, 0));
    }
}

TEST(parallel_assignment_is_independent_of_worker_count) {
    const std::size_t n = 5000, k = 70, d = 33;
    std::vector<float> rows, cents;
    make_case(Flavor::Ties, n, k, d, 7, rows, cents);
    const auto want = reference(rows, cents, n, k, d);
    for (const std::size_t threads : {1, 2, 8}) {
        qor::parallel::ThreadPool pool(threads);
        qor::parallel::ScopedPool guard(pool);
        const qor::PreparedCentroids p(cents.data(), k, d);
        std::vector<uint32_t> got(n);
        p.nearest_parallel(rows.data(), n, got.data());
        CHECK(got == want);
    }
}

QORTEST_MAIN()
