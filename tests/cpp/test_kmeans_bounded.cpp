// The bounded k-means assignment against the full scan, bit for bit
// (labels, centroids, pass count), on inputs built to defeat loose bounds:
// exact ties, duplicate rows and centroids, distances a few ulps apart,
// NaN and infinite rows, huge and tiny norms, k >= n; on every kernel and
// several worker counts. Also the rounding bound the pruning relies on.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "codebook/bounded_assign.hpp"
#include "codebook/centroid_groups.hpp"
#include "codebook/distances.hpp"
#include "codebook/kmeans.hpp"
#include "codebook/normalize.hpp"
#include "common/matrix.hpp"
#include "common/text.hpp"
#include "parallel/thread_pool.hpp"
#include "test_rows.hpp"

using qor::MatrixRef;
using qor::parallel::Isa;

namespace {

struct Data {
    std::string name;
    std::size_t n, d;
    std::vector<float> x;
};

// Seeded values in [0, 1).
std::vector<float> unit_values(std::size_t count, uint64_t seed) {
    auto v = qortest::random_rows(count, 1, seed, 11, 16777216.0f);
    for (float& f : v) f = f + 0.5f;
    return v;
}

// Rows near `centres` well separated centres: the case where bounds prune.
Data clustered(std::size_t n, std::size_t d, std::size_t centres, float spread, uint64_t seed) {
    const auto c = unit_values(centres * d, seed);
    const auto noise = unit_values(n * d, seed + 1);
    Data out{"clustered", n, d, std::vector<float>(n * d)};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j)
            out.x[i * d + j] = c[(i * 7 % centres) * d + j] + spread * (noise[i * d + j] - 0.5f);
    return out;
}

std::vector<Data> adversarial_inputs() {
    std::vector<Data> all;
    all.push_back(clustered(3000, 17, 25, 0.2f, 1));
    all.push_back(clustered(2000, 128, 60, 0.5f, 2));
    // Small integer grid: most rows have several centroids at exactly the
    // same distance, and many rows repeat.
    {
        Data g{"grid", 1500, 3, {}};
        const auto u = unit_values(g.n * g.d, 3);
        for (const float v : u) g.x.push_back(std::floor(v * 3.0f));
        all.push_back(std::move(g));
    }
    // Groups of rows a few ulps apart: centroids and distances differ only
    // in the last bits.
    {
        Data g{"ulps", 1200, 8, {}};
        const auto base = unit_values(6 * g.d, 4);
        const auto u = unit_values(g.n * g.d, 5);
        for (std::size_t i = 0; i < g.n; ++i)
            for (std::size_t j = 0; j < g.d; ++j) {
                float v = base[(i % 6) * g.d + j] + 1.0f;
                for (int s = static_cast<int>(u[i * g.d + j] * 4.0f); s > 0; --s) v = std::nextafter(v, 3.0f);
                g.x.push_back(v);
            }
        all.push_back(std::move(g));
    }
    // NaN and infinite rows among clustered ones.
    {
        Data g = clustered(1000, 9, 12, 0.3f, 6);
        g.name = "nan_inf";
        const float inf = std::numeric_limits<float>::infinity();
        for (const std::size_t i : {3, 400, 401, 999})
            g.x[i * 9 + 2] = std::numeric_limits<float>::quiet_NaN();
        for (const std::size_t i : {10, 500}) g.x[i * 9 + 4] = inf;
        g.x[600 * 9 + 1] = -inf;
        all.push_back(std::move(g));
    }
    // Norms near the top of the float range (squares overflow for some
    // pairs only) and near the bottom (squares underflow).
    for (const float scale : {3e18f, 1e-21f, 1e-40f}) {
        Data g = clustered(800, 5, 10, 0.4f, 7);
        g.name = "scale " + std::to_string(scale);
        for (float& v : g.x) v = v * scale;
        all.push_back(std::move(g));
    }
    // Every row equal.
    all.push_back(Data{"constant", 300, 4, std::vector<float>(1200, 0.25f)});
    return all;
}

bool same(const qor::KMeansResult& a, const qor::KMeansResult& b) {
    return a.k == b.k && a.labels == b.labels && a.iterations == b.iterations &&
           a.centroids.size() == b.centroids.size() &&
           (a.centroids.empty() ||
            std::memcmp(a.centroids.data(), b.centroids.data(), a.centroids.size() * sizeof(float)) == 0);
}

// Pass kinds forced by the test hooks: plain full-scan passes (bit t of
// plain) and passes that evaluate every undecided row fully (bit t of chunks).
struct Hooks {
    uint64_t plain = 0, chunks = 0, groups = 0;
};

qor::KMeansResult run(const Data& g, uint64_t k, uint64_t iters, qor::KMeansAssignment how, Isa isa,
                      qor::KMeansTrace* trace = nullptr, Hooks hooks = {}) {
    qor::KMeansOptions o;
    o.assignment = how;
    o.plain_passes = hooks.plain;
    o.full_chunks = hooks.chunks;
    o.max_groups = hooks.groups;
    o.force_isa = true;
    o.isa = isa;
    o.trace = trace;
    return qor::kmeans(MatrixRef::contiguous(g.x.data(), g.n, g.d), k, iters, 9, o);
}

}  // namespace

TEST(bounded_matches_full_scan_on_every_kernel_and_worker_count) {
    for (const Data& g : adversarial_inputs()) {
        for (const uint64_t k : {uint64_t{2}, uint64_t{7}, uint64_t{64}, uint64_t{g.n}, uint64_t{g.n + 5}}) {
            const uint64_t iters = k >= g.n ? 4 : 25;
            const auto want = run(g, k, iters, qor::KMeansAssignment::FullScan, Isa::Scalar);
            for (const Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512})
                for (const std::size_t threads : {1, 3}) {
                    if (k >= g.n && threads == 3) continue;  // large k: one worker count is enough
                    qor::parallel::ThreadPool pool(threads);
                    qor::parallel::ScopedPool guard(pool);
                    const auto got = run(g, k, iters, qor::KMeansAssignment::Bounded, isa);
                    if (!same(got, want))
                        qortest::fail(__FILE__, __LINE__,
                                      g.name + " k=" + qor::num(k) + " isa=" + qor::parallel::isa_name(isa) +
                                          " threads=" + qor::num(threads));
                }
        }
    }
}

TEST(bounded_matches_full_scan_whatever_the_mix_of_pass_kinds) {
    // Plain passes drop the bounds and the next pass sets them from every
    // distance; forced full chunks evaluate every centroid for the rows the
    // bounds leave undecided; few or many groups. None may change a bit.
    const Hooks patterns[] = {
        {0b0000000000010010ULL, 0, 0},                      // plain passes 2 and 5, then fresh bounds
        {0, 0b0000000001101000ULL, 0},                      // full chunks on passes 4, 6, 7
        {0b0101010101010101ULL, 0b0010001000100010ULL, 3},  // alternating kinds, 3 groups
        {0b0000000011000110ULL, 0b0000001100000000ULL, 1},  // runs of each kind, 1 group
    };
    for (const Data& g : adversarial_inputs())
        for (const uint64_t k : {uint64_t{7}, uint64_t{64}}) {
            const uint64_t iters = 12;
            const auto want = run(g, k, iters, qor::KMeansAssignment::FullScan, Isa::Scalar);
            for (const Hooks& h : patterns)
                for (const Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512})
                    for (const std::size_t threads : {1, 3}) {
                        qor::parallel::ThreadPool pool(threads);
                        qor::parallel::ScopedPool guard(pool);
                        qor::KMeansTrace trace;
                        const auto got = run(g, k, iters, qor::KMeansAssignment::Bounded, isa, &trace, h);
                        if (!same(got, want))
                            qortest::fail(__FILE__, __LINE__,
                                          g.name + " k=" + qor::num(k) +
                                              " isa=" + qor::parallel::isa_name(isa) +
                                              " threads=" + qor::num(threads) + " kinds=" + trace.kind);
                    }
        }
}

TEST(group_exclusion_by_centroid_distances_matches_full_scan) {
    // Enough centroids for several groups and rows for the centroid-to-
    // centroid distances to be used on passes that evaluate every distance
    // (the first, and the one after a plain pass): each adversarial input
    // with its columns repeated to at least 32 and its rows to at least
    // 1600, every copy of a row moved by a few ulps in one column, so exact
    // ties and near-ties across groups abound.
    for (const Data& g : adversarial_inputs()) {
        const std::size_t reps_d = (32 + g.d - 1) / g.d, d = g.d * reps_d;
        const std::size_t reps_n = (1600 + g.n - 1) / g.n, n = g.n * reps_n;
        Data w{g.name + " widened", n, d, std::vector<float>(n * d)};
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < d; ++j) {
                float v = g.x[(i % g.n) * g.d + j % g.d];
                if (j == i % d)
                    for (std::size_t s = 0; s < i / g.n; ++s) v = std::nextafter(v, 0.0f);
                w.x[i * d + j] = v;
            }
        for (const uint64_t k : {uint64_t{256}, uint64_t{512}}) {
            const uint64_t iters = 8;
            const auto want = run(w, k, iters, qor::KMeansAssignment::FullScan, Isa::Scalar);
            for (const uint64_t plain : {uint64_t{0}, uint64_t{0b100}})
                for (const Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512})
                    for (const std::size_t threads : {1, 3}) {
                        qor::parallel::ThreadPool pool(threads);
                        qor::parallel::ScopedPool guard(pool);
                        qor::KMeansTrace trace;
                        const auto got =
                            run(w, k, iters, qor::KMeansAssignment::Bounded, isa, &trace, Hooks{plain, 0, 0});
                        if (!same(got, want))
                            qortest::fail(__FILE__, __LINE__,
                                          w.name + " k=" + qor::num(k) +
                                              " isa=" + qor::parallel::isa_name(isa) +
                                              " threads=" + qor::num(threads) + " kinds=" + trace.kind);
                    }
        }
    }
    // On clustered rows the first pass already leaves out whole groups.
    const Data c = clustered(2000, 32, 300, 0.2f, 15);
    qor::KMeansTrace trace;
    run(c, 512, 3, qor::KMeansAssignment::Bounded, qor::parallel::best_isa(), &trace);
    CHECK(trace.evaluated.front() < uint64_t{2000 * 512});
}

TEST(bounds_that_do_not_pay_give_way_to_plain_passes) {
    // Rows without cluster structure and many centroids: a pass with
    // bounds evaluates most distances, so plain passes follow, then fresh
    // bounds are tried again; the labels stay those of the full scan.
    Data g{"uniform", 3000, 16, unit_values(3000 * 16, 21)};
    const auto want = run(g, 200, 12, qor::KMeansAssignment::FullScan, Isa::Scalar);
    qor::KMeansTrace trace;
    const auto got = run(g, 200, 12, qor::KMeansAssignment::Bounded, qor::parallel::best_isa(), &trace);
    CHECK(same(got, want));
    CHECK_EQ(trace.kind.size(), std::size_t{got.iterations});
    CHECK_EQ(trace.kind.substr(0, 2), std::string("ib"));
    CHECK(trace.kind.find("bpib") != std::string::npos);
    for (std::size_t t = 0; t < trace.kind.size(); ++t)
        if (trace.kind[t] != 'b') CHECK_EQ(trace.evaluated[t], uint64_t{3000 * 200});
}

TEST(normalising_on_read_matches_clustering_a_normalised_copy) {
    // Rows of every scale (NaN, zero and tiny rows included), both
    // assignments and a plain pass in between: the same result as k-means
    // over normalize_rows' copy.
    for (const Data& g : adversarial_inputs()) {
        const std::vector<float> copy = qor::normalize_rows(MatrixRef::contiguous(g.x.data(), g.n, g.d));
        const Data normalised{g.name, g.n, g.d, copy};
        const auto want = run(normalised, 20, 10, qor::KMeansAssignment::FullScan, Isa::Scalar);
        for (const auto how : {qor::KMeansAssignment::FullScan, qor::KMeansAssignment::Bounded}) {
            qor::KMeansOptions o;
            o.assignment = how;
            o.normalize = true;
            o.plain_passes = 0b100;
            const auto got = qor::kmeans(MatrixRef::contiguous(g.x.data(), g.n, g.d), 20, 10, 9, o);
            if (!same(got, want)) qortest::fail(__FILE__, __LINE__, g.name);
        }
    }
}

TEST(bounded_matches_full_scan_for_zero_one_and_two_passes) {
    const Data g = clustered(500, 6, 8, 0.3f, 12);
    for (const uint64_t iters : {0, 1, 2})
        for (const uint64_t k : {1, 5, 500}) {
            const auto want = run(g, k, iters, qor::KMeansAssignment::FullScan, Isa::Scalar);
            CHECK(same(run(g, k, iters, qor::KMeansAssignment::Bounded, qor::parallel::best_isa()), want));
            if (k == 5) CHECK_EQ(want.iterations, iters);  // one cluster stops after the first pass
        }
}

TEST(centroid_groups_hold_every_centroid_once_in_whole_lane_blocks) {
    // Centroids on a few far-apart sites (one NaN centroid among them): every
    // centroid sits in exactly one lane of its own group, each group fills
    // whole lane blocks, and centroids of one site share a group.
    const std::size_t d = 6, sites = 3;
    for (const std::size_t k : {40, 300, 301}) {
        const auto noise = unit_values(k * d, k);
        std::vector<float> cents(k * d);
        for (std::size_t c = 0; c < k; ++c)
            for (std::size_t j = 0; j < d; ++j)
                cents[c * d + j] = static_cast<float>(100 * (c % sites == j)) + noise[c * d + j];
        cents[7 * d] = std::numeric_limits<float>::quiet_NaN();
        const qor::CentroidGroups g = qor::group_centroids(cents.data(), k, d, sites);
        CHECK_EQ(g.segment.size(), sites + 1);
        CHECK_EQ(g.segment.back(), g.lanes.size());
        std::vector<int> seen(k, 0);
        for (std::size_t grp = 0; grp < sites; ++grp) {
            CHECK(g.segment[grp] % qor::DISTANCE_LANES == 0);
            std::size_t members = 0;
            for (std::size_t p = g.segment[grp]; p < g.segment[grp + 1]; ++p) {
                const uint32_t c = g.lanes[p];
                if (c == qor::NO_CENTROID) continue;
                ++members;
                ++seen[c];
                CHECK_EQ(std::size_t{g.group_of[c]}, grp);
            }
            CHECK_EQ(std::size_t{g.size[grp]}, members);
        }
        CHECK(seen == std::vector<int>(k, 1));
        // Sites hold about k / 3 centroids each, more than a lane block, so
        // rounding the groups to whole blocks moves only a few of them.
        std::size_t apart = 0;
        for (std::size_t c = sites; c < k; ++c)
            if (c != 7 && g.group_of[c] != g.group_of[c % sites]) ++apart;
        CHECK(apart <= 2 * qor::DISTANCE_LANES);
    }
}

TEST(bounds_skip_most_distances_once_clusters_settle) {
    // Not a correctness property but the point of the bounds: on separated
    // clusters the late passes evaluate a small share of the distances.
    const Data g = clustered(4000, 32, 40, 0.3f, 13);
    qor::KMeansTrace trace;
    const auto got = run(g, 40, 30, qor::KMeansAssignment::Bounded, qor::parallel::best_isa(), &trace);
    CHECK_EQ(trace.evaluated.size(), std::size_t{got.iterations});
    CHECK(got.iterations >= 2);
    CHECK_EQ(trace.evaluated.front(), uint64_t{4000 * 40});
    CHECK(trace.evaluated.back() * 10 < uint64_t{4000 * 40});
    CHECK_EQ(trace.changed.back(), uint64_t{0});
}

TEST(environment_switch_selects_the_full_scan) {
    const Data g = clustered(600, 8, 10, 0.3f, 14);
    qor::KMeansTrace bounded, full;
    qor::KMeansOptions o;
    o.trace = &bounded;
    const auto a = qor::kmeans(MatrixRef::contiguous(g.x.data(), g.n, g.d), 10, 20, 3, o);
    setenv("QOR_KMEANS_FULL_SCAN", "1", 1);
    o.trace = &full;
    const auto b = qor::kmeans(MatrixRef::contiguous(g.x.data(), g.n, g.d), 10, 20, 3, o);
    unsetenv("QOR_KMEANS_FULL_SCAN");
    CHECK(same(a, b));
    for (const uint64_t e : full.evaluated) CHECK_EQ(e, uint64_t{600 * 10});
    CHECK(bounded.evaluated.back() < uint64_t{600 * 10});
}

TEST(rounding_bound_covers_the_computed_distance) {
    // Against the distance computed in long double: the computed float value
    // lies within the bound, and the derived distance bounds bracket it.
    for (const std::size_t d : {1, 3, 16, 97, 300}) {
        const qor::DistanceRounding r(d);
        for (const float scale : {1.0f, 1e-20f, 1e-42f, 1e18f}) {
            auto a = unit_values(200 * d, d), b = unit_values(200 * d, d + 100);
            for (std::size_t i = 0; i < 200; ++i) {
                long double exact = 0.0L;
                for (std::size_t j = 0; j < d; ++j) {
                    a[i * d + j] *= scale;
                    b[i * d + j] *= scale;
                    const long double diff = static_cast<long double>(a[i * d + j]) - b[i * d + j];
                    exact += diff * diff;
                }
                const float got = qor::squared_distance(a.data() + i * d, b.data() + i * d, d);
                const double dist = std::sqrt(static_cast<double>(exact));
                CHECK(r.lower_distance(got) <= dist);
                if (std::isfinite(got)) {
                    CHECK(r.upper_distance(got) >= dist);
                    CHECK(static_cast<double>(got) <= r.upper_computed(dist * (1 + 1e-15)));
                }
                CHECK(static_cast<double>(got) >= r.lower_computed(dist * (1 - 1e-15)));
            }
        }
    }
}

TEST(distance_kernels_match_the_scalar_distance) {
    // Lanes in a shuffled order with padding, read whole and by segment.
    for (const std::size_t d : {1, 7, 17, 33, 97})
        for (const std::size_t k : {1, 15, 33, 70}) {
            const auto rows = unit_values(11 * d, d * 100 + k), cents = unit_values(k * d, d + k);
            std::vector<uint32_t> lanes;
            for (std::size_t c = 0; c < k; ++c) lanes.push_back(static_cast<uint32_t>((c * 7 + 3) % k));
            lanes.push_back(qor::NO_CENTROID);
            while (lanes.size() % qor::DISTANCE_LANES != 0) lanes.push_back(qor::NO_CENTROID);
            for (const Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512}) {
                const qor::DistanceTable t(cents.data(), d, lanes, isa);
                std::vector<float> whole(t.width()), part(t.width());
                // All rows at once (blocks of rows), then one at a time.
                std::vector<const float*> ptrs;
                for (std::size_t i = 0; i < 11; ++i) ptrs.push_back(rows.data() + i * d);
                std::vector<float> block(11 * t.width());
                // Row i last written as the first of a call with 11 - i rows:
                // every block height and partial block is exercised.
                for (std::size_t m = 11; m >= 1; --m)
                    t.distances(ptrs.data() + (11 - m), m, 0, t.width(), block.data() + (11 - m) * t.width());
                for (std::size_t i = 0; i < 11; ++i) {
                    const float* row = rows.data() + i * d;
                    t.distances(&row, 1, 0, t.width(), whole.data());
                    const std::size_t cut = t.width() > qor::DISTANCE_LANES ? qor::DISTANCE_LANES : 0;
                    t.distances(&row, 1, cut, t.width(), part.data());
                    for (std::size_t p = 0; p < lanes.size(); ++p) {
                        if (lanes[p] == qor::NO_CENTROID) continue;
                        const float want = qor::squared_distance(row, cents.data() + lanes[p] * d, d);
                        CHECK(std::memcmp(&want, &whole[p], sizeof(float)) == 0);
                        CHECK(std::memcmp(&want, &block[i * t.width() + p], sizeof(float)) == 0);
                        if (p >= cut) CHECK(std::memcmp(&want, &part[p - cut], sizeof(float)) == 0);
                    }
                }
            }
        }
}

TEST(segment_minima_match_a_scalar_scan_of_the_segment) {
    // Segments of lanes (one empty), values with exact ties and NaN rows:
    // smallest, second smallest and first lane of the smallest per segment,
    // from every kernel, against a scan in lane order of the distances.
    for (const std::size_t d : {1, 5, 33})
        for (const std::size_t k : {3, 40, 75}) {
            auto rows = unit_values(13 * d, d * 7 + k), cents = unit_values(k * d, d + k * 3);
            for (float& v : rows) v = std::floor(v * 3.0f);  // many equal distances
            for (float& v : cents) v = std::floor(v * 3.0f);
            rows[5 * d] = std::numeric_limits<float>::quiet_NaN();
            std::vector<uint32_t> lanes;
            std::vector<std::size_t> seg{0};
            for (std::size_t c = 0; c < k; ++c) {
                lanes.push_back(static_cast<uint32_t>((c * 11 + 1) % k));
                if (c % 37 == 36 || c + 1 == k) {
                    while (lanes.size() % qor::DISTANCE_LANES != 0) lanes.push_back(qor::NO_CENTROID);
                    seg.push_back(lanes.size());
                }
                if (c == 0) seg.push_back(0);  // an empty first segment
            }
            const std::size_t n_seg = seg.size() - 1;
            std::vector<const float*> ptrs;
            for (std::size_t i = 0; i < 13; ++i) ptrs.push_back(rows.data() + i * d);
            for (const Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512}) {
                const qor::DistanceTable t(cents.data(), d, lanes, seg, isa);
                std::vector<float> f(13 * n_seg), s2(13 * n_seg);
                std::vector<uint32_t> at(13 * n_seg);
                t.minima(ptrs.data(), 13, 0, n_seg, f.data(), s2.data(), at.data(), n_seg);
                for (std::size_t i = 0; i < 13; ++i)
                    for (std::size_t sg = 0; sg < n_seg; ++sg) {
                        float m1 = std::numeric_limits<float>::infinity(), m2 = m1;
                        std::size_t p1 = 0;
                        for (std::size_t p = seg[sg]; p < seg[sg + 1]; ++p) {
                            if (lanes[p] == qor::NO_CENTROID) continue;
                            const float v = qor::squared_distance(ptrs[i], cents.data() + lanes[p] * d, d);
                            if (v < m1) {
                                m2 = m1;
                                m1 = v;
                                p1 = p;
                            } else if (v < m2) {
                                m2 = v;
                            }
                        }
                        const std::size_t o = i * n_seg + sg;
                        CHECK(std::memcmp(&m1, &f[o], sizeof(float)) == 0);
                        CHECK(std::memcmp(&m2, &s2[o], sizeof(float)) == 0);
                        if (m1 < std::numeric_limits<float>::infinity()) CHECK_EQ(std::size_t{at[o]}, p1);
                    }
            }
        }
}

QORTEST_MAIN()
