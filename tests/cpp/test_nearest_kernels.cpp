// Every nearest-centroid kernel against the scalar reference, bit for bit:
// ties, NaN, infinities, overflow, zero rows and sizes that hit the tails of
// the row and centroid blocking.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "codebook/centroid_lanes.hpp"
#include "codebook/nearest.hpp"
#include "common/matrix.hpp"
#include "common/text.hpp"
#include "parallel/thread_pool.hpp"

using qor::parallel::Isa;
using qor::parallel::isa_name;

namespace {

// A kernel the processor lacks falls back to the scalar loop, so asking for
// every one is safe anywhere.
const Isa ISAS[] = {Isa::Scalar, Isa::Avx2, Isa::Avx512};
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();

enum class Flavor { Random, Ties, Special, Overflow };

// Rows (n x d) then centroids (k x d) in one buffer.
//  Ties      values on a coarse grid and pairs of equal centroids
//  Special   NaN and infinities scattered, every third row and one centroid zero
//  Overflow  values whose squares and sums reach infinity
std::vector<float> make_case(Flavor f, std::size_t n, std::size_t k, std::size_t d, uint64_t seed) {
    uint64_t s = seed * 0x9E3779B97F4A7C15ULL + 1;
    auto next = [&] { return s = s * 6364136223846793005ULL + 1442695040888963407ULL, s >> 33; };
    auto uniform = [&] { return static_cast<float>(next() >> 7) / 16777216.0f * 2.0f - 1.0f; };
    std::vector<float> v((n + k) * d);
    for (float& x : v) {
        const uint64_t r = next() % 40;
        if (f == Flavor::Ties)
            x = static_cast<float>(static_cast<int>(r % 3) - 1) * 0.5f;
        else if (f == Flavor::Special && r < 3)
            x = r == 0 ? NaN : r == 1 ? Inf : -Inf;
        else
            x = uniform() * (f == Flavor::Overflow ? 3e19f : 1.0f);
    }
    float* cents = v.data() + n * d;
    if (f == Flavor::Ties)
        for (std::size_t c = 1; c < k; c += 2) std::copy_n(cents + (c - 1) * d, d, cents + c * d);
    if (f == Flavor::Special) {
        for (std::size_t i = 0; i < n; i += 3) std::fill_n(v.data() + i * d, d, 0.0f);
        std::fill_n(cents + (k / 2) * d, d, 0.0f);
    }
    return v;
}

std::vector<uint32_t> reference(const float* rows, const float* cents, std::size_t n, std::size_t k,
                                std::size_t d) {
    std::vector<uint32_t> out(n);
    const auto cm = qor::MatrixRef::contiguous(cents, k, d);
    for (std::size_t i = 0; i < n; ++i) out[i] = qor::nearest_centroid({rows + i * d, d}, cm);
    return out;
}

}  // namespace

TEST(scalar_reference_rules) {
    const std::vector<float> cents = {1, 0, 0, 1, 1, 0};  // centroids 0 and 2 equal
    const auto cm = qor::MatrixRef::contiguous(cents.data(), 3, 2);
    CHECK_EQ(qor::nearest_centroid(std::vector<float>{0.9f, 0.1f}, cm), 0u);  // tie goes to the lower index
    CHECK_EQ(qor::nearest_centroid(std::vector<float>{0.0f, 2.0f}, cm), 1u);
    CHECK_EQ(qor::nearest_centroid(std::vector<float>{NaN, 0.0f}, cm), 0u);
    CHECK_EQ(qor::nearest_centroid(std::vector<float>{Inf, 0.0f}, cm), 0u);
}

TEST(distance_of_exactly_the_largest_float_never_wins) {
    // (0,0) to (a, 2^52) sums to exactly 3.4028235e38; with 2^51 it stays below.
    const float a = std::bit_cast<float>(uint32_t{1602224127});
    const std::vector<float> row = {0.0f, 0.0f};
    for (const float b : {4503599627370496.0f, 2251799813685248.0f}) {
        const std::vector<float> cents = {NaN, NaN, a, b, a, b};
        const uint32_t want = b == 4503599627370496.0f ? 0u : 1u;
        CHECK_EQ(qor::nearest_centroid(row, qor::MatrixRef::contiguous(cents.data(), 3, 2)), want);
        for (const Isa isa : ISAS) {
            uint32_t got = 9;
            qor::PreparedCentroids(cents.data(), 3, 2, isa).nearest(row.data(), 1, &got);
            CHECK_EQ(got, want);
        }
    }
}

TEST(kernels_equal_scalar_on_every_tail) {
    // Dimensions around the register widths, centroid counts around the lane
    // blocks and row counts around the row blocks (4 and 8), plus one case
    // with many full row blocks.
    struct Shape {
        std::size_t n, k, d;
    };
    std::vector<Shape> shapes = {{203, 257, 128}};
    const std::size_t ns[] = {1, 3, 4, 8, 9, 13, 19};
    std::size_t i = 0;
    for (const std::size_t d : {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 97})
        for (const std::size_t k : {1, 2, 7, 15, 16, 17, 33, 65}) shapes.push_back({ns[i++ % 7], k, d});
    uint64_t seed = 1;
    for (const Flavor f : {Flavor::Random, Flavor::Ties, Flavor::Special, Flavor::Overflow}) {
        for (const Shape& s : shapes) {
            const auto v = make_case(f, s.n, s.k, s.d, seed++);
            const float* cents = v.data() + s.n * s.d;
            const auto want = reference(v.data(), cents, s.n, s.k, s.d);
            for (const Isa isa : ISAS) {
                std::vector<uint32_t> got(s.n, 0xFFFFFFFFu);
                qor::PreparedCentroids(cents, s.k, s.d, isa).nearest(v.data(), s.n, got.data());
                const auto size = qor::num(s.n) + "x" + qor::num(s.k) + "x" + qor::num(s.d);
                if (got != want) ::qortest::fail(__FILE__, __LINE__, isa_name(isa) + (" " + size));
            }
        }
    }
}

TEST(transposed_copy_is_aligned_and_pads_with_nan) {
    // The vector kernels load whole aligned registers of lanes and rely on
    // NaN padding never winning; lanes may name centroids in any order.
    const std::size_t k = 5, d = 3;
    std::vector<float> cents(k * d);
    for (std::size_t i = 0; i < cents.size(); ++i) cents[i] = static_cast<float>(i) - 7.0f;
    std::vector<uint32_t> lanes = {4, 0, 2, qor::NO_CENTROID, 1};
    lanes.resize(2 * qor::CENTROID_LANE_BLOCK, qor::NO_CENTROID);
    const qor::CentroidLanes t(cents.data(), k, d, lanes, true);
    const qor::LaneView& v = t.view();
    CHECK(reinterpret_cast<std::uintptr_t>(v.ct) % 64 == 0);
    CHECK_EQ(v.width, lanes.size());
    for (std::size_t j = 0; j < d; ++j)
        for (std::size_t p = 0; p < v.width; ++p) {
            const float got = v.ct[j * v.width + p];
            if (lanes[p] == qor::NO_CENTROID)
                CHECK(std::isnan(got));
            else
                CHECK(std::bit_cast<uint32_t>(got) == std::bit_cast<uint32_t>(cents[lanes[p] * d + j]));
        }
    CHECK(qor::CentroidLanes(cents.data(), k, d, lanes, false).view().ct == nullptr);
    CHECK(qor::CentroidLanes::in_order(33) == [] {
        std::vector<uint32_t> want(64, qor::NO_CENTROID);
        for (uint32_t c = 0; c < 33; ++c) want[c] = c;
        return want;
    }());
}

TEST(no_centroids_or_no_dimensions_give_zero) {
    const std::vector<float> rows = {1.0f, 2.0f, 3.0f}, none;
    for (const Isa isa : ISAS) {
        std::vector<uint32_t> out(3, 7);
        qor::PreparedCentroids(nullptr, 0, 1, isa).nearest(rows.data(), 3, out.data());
        CHECK(out == std::vector<uint32_t>(3, 0));
        std::fill(out.begin(), out.end(), 7);
        qor::PreparedCentroids(none.data(), 5, 0, isa).nearest(rows.data(), 3, out.data());
        CHECK(out == std::vector<uint32_t>(3, 0));
    }
}

TEST(parallel_assignment_is_independent_of_worker_count) {
    const std::size_t n = 5000, k = 70, d = 33;
    const auto v = make_case(Flavor::Ties, n, k, d, 7);
    const auto want = reference(v.data(), v.data() + n * d, n, k, d);
    for (const std::size_t threads : {1, 2, 8}) {
        qor::parallel::ThreadPool pool(threads);
        qor::parallel::ScopedPool guard(pool);
        std::vector<uint32_t> got(n);
        qor::PreparedCentroids(v.data() + n * d, k, d).nearest_parallel(v.data(), n, got.data());
        CHECK(got == want);
    }
}

QORTEST_MAIN()
