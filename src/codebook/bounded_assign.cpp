#include "codebook/bounded_assign.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "codebook/distances.hpp"
#include "codebook/nearest.hpp"
#include "codebook/normalize.hpp"
#include "parallel/thread_pool.hpp"

namespace qor {

namespace {

constexpr double UNIT = 0x1p-24;  // unit roundoff of float
// Relative slack that covers the few double roundings (each at most 2^-53)
// between a bound's inputs and the value compared.
constexpr double SLACK = 0x1p-50;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double LARGEST = NEAREST_START;  // FLT_MAX; a computed distance must be below it to win

// Rows per parallel task.
constexpr std::size_t CHUNK_ROWS = 4096;
// Centroids per group (the group count is k / this, within [1, max_groups]).
constexpr uint64_t GROUP_CENTROIDS = 128;
constexpr uint64_t GROUP_SPLIT_PASSES = 5;
// A chunk's rows go through every group at once (one kernel call over all
// lanes per block of rows, no per-group gathering) when the groups their
// bounds leave open hold more than this share of the lanes.
constexpr double FULL_CHUNK_SHARE = 0.9;
// Hamerly's half-gap test is used when there are at least this many rows
// per centroid.
constexpr uint64_t GAP_ROWS_PER_CENTROID = 64;
// Rows per call of the all-groups kernel.
constexpr std::size_t FULL_BLOCK = 64;
// The distances from each centroid to the nearest centroid of every group
// cost k x k evaluations and spare roughly half of those a pass would make
// without them: they are computed when the last pass made more than
// NEAR_PAYS times k x k evaluations, or for a pass that sets fresh bounds
// (n x k without them) when n >= NEAR_PAYS k.
constexpr uint64_t NEAR_PAYS = 3;

// Conversions to the float storage of the bounds, rounding outwards.
float round_up(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

float round_down(double v) {
    if (!(v > 0.0)) return 0.0f;
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, 0.0f);
    return f;
}

// Lower bounds are kept as the upper 16 bits of a float (sign, exponent and
// 7 mantissa bits). For a value >= 0 dropping the low bits rounds towards
// zero, that is down, so a stored bound never exceeds the true one; it is
// at most 2^-7 of itself looser. +inf and 0 are kept exactly.
uint16_t narrow_down(double v) {
    const float f = round_down(v);
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return static_cast<uint16_t>(bits >> 16);
}

double widen(uint16_t h) {
    const uint32_t bits = static_cast<uint32_t>(h) << 16;
    float f = 0.0f;
    std::memcpy(&f, &bits, sizeof f);
    return static_cast<double>(f);
}

bool all_finite(const float* p, uint64_t d) {
    for (uint64_t j = 0; j < d; ++j)
        if (!std::isfinite(p[j])) return false;
    return true;
}

// Exact distance between two float vectors, rounded up: the double sum of
// squared double differences has relative error below (d + 2) 2^-53.
double drift_upper(const float* a, const float* b, uint64_t d) {
    double sum = 0.0;
    for (uint64_t j = 0; j < d; ++j) {
        const double diff = static_cast<double>(a[j]) - static_cast<double>(b[j]);
        sum += diff * diff;
    }
    return std::sqrt(sum) * (1.0 + static_cast<double>(d + 4) * 0x1p-52);
}

}  // namespace

DistanceRounding::DistanceRounding(uint64_t d) {
    const double terms = static_cast<double>(d) + 2.0;
    if (terms * UNIT >= 0.25) {
        usable = false;
        rel = INF;
        return;
    }
    rel = terms * UNIT / (1.0 - terms * UNIT) * (1.0 + SLACK);
    // An underflowing square loses at most half the smallest subnormal
    // (2^-150); doubled for the later relative growth of that error.
    abs = static_cast<double>(d) * 0x1p-149;
}

double DistanceRounding::upper_distance(float computed) const {
    if (!(computed < NEAREST_START)) return INF;
    const double v = (std::max(static_cast<double>(computed), 0.0) + abs) / (1.0 - rel);
    return std::sqrt(v) * (1.0 + SLACK);
}

double DistanceRounding::lower_distance(float computed) const {
    if (std::isnan(computed)) return 0.0;
    // An infinite result means the exact value reached FLT_MAX within the
    // rounding bound.
    const double c = computed < NEAREST_START ? static_cast<double>(computed) : LARGEST;
    const double v = (c - abs) / (1.0 + rel);
    return v > 0.0 ? std::sqrt(v) * (1.0 - SLACK) : 0.0;
}

double DistanceRounding::upper_computed(double distance) const {
    if (!(distance < INF)) return INF;
    return (distance * distance * (1.0 + rel) + abs) * (1.0 + SLACK);
}

double DistanceRounding::lower_computed(double distance) const {
    if (!(distance > 0.0)) return -1.0;  // every computed distance is >= -0.0
    const double v = distance * distance * (1.0 - SLACK) * (1.0 - rel) - abs;
    return v > 0.0 ? v * (1.0 - SLACK) : -1.0;
}


uint64_t BoundedAssignment::default_max_groups(uint64_t d) { return std::clamp<uint64_t>(d / 8, 1, 16); }

BoundedAssignment::BoundedAssignment(const float* rows, uint64_t n, uint64_t d, uint64_t k, parallel::Isa isa,
                                     uint64_t max_groups, const float* divisors)
    : rows_(rows), divisors_(divisors), n_(n), d_(d), k_(k), isa_(isa), rounding_(d) {
    if (max_groups == 0) max_groups = default_max_groups(d);
    groups_ = std::clamp<uint64_t>(k / GROUP_CENTROIDS, 1, std::min<uint64_t>(max_groups, 32));
    upper_.resize(static_cast<std::size_t>(n));
    lower_.resize(static_cast<std::size_t>(n * groups_));
}

void BoundedAssignment::form_groups(const float* centroids) {
    // A few Lloyd passes over the centroids themselves, in double, seeded
    // with evenly spaced centroids. Any split is correct; nearby centroids
    // in one group make its bound tight.
    const uint64_t k = k_, d = d_, g_count = groups_;
    std::vector<double> seeds(static_cast<std::size_t>(g_count * d));
    for (uint64_t g = 0; g < g_count; ++g)
        for (uint64_t j = 0; j < d; ++j) seeds[g * d + j] = centroids[(g * k / g_count) * d + j];
    group_of_.assign(static_cast<std::size_t>(k), 0);
    for (uint64_t pass = 0; pass < GROUP_SPLIT_PASSES; ++pass) {
        for (uint64_t c = 0; c < k; ++c) {
            const float* v = centroids + c * d;
            if (!all_finite(v, d)) continue;  // stays in group 0
            double best = INF;
            for (uint64_t g = 0; g < g_count; ++g) {
                double sum = 0.0;
                for (uint64_t j = 0; j < d; ++j) {
                    const double diff = v[j] - seeds[g * d + j];
                    sum += diff * diff;
                }
                if (sum < best) {
                    best = sum;
                    group_of_[c] = static_cast<uint32_t>(g);
                }
            }
        }
        std::vector<double> sums(static_cast<std::size_t>(g_count * d), 0.0);
        std::vector<uint64_t> counts(static_cast<std::size_t>(g_count), 0);
        for (uint64_t c = 0; c < k; ++c) {
            if (!all_finite(centroids + c * d, d)) continue;
            const uint64_t g = group_of_[c];
            for (uint64_t j = 0; j < d; ++j) sums[g * d + j] += centroids[c * d + j];
            ++counts[g];
        }
        for (uint64_t g = 0; g < g_count; ++g)
            if (counts[g] > 0)
                for (uint64_t j = 0; j < d; ++j) seeds[g * d + j] = sums[g * d + j] / static_cast<double>(counts[g]);
    }
    // Final split with capacities that are multiples of DISTANCE_LANES, so a
    // group's lanes are not padded (except where the total k is not a
    // multiple): each group gets its Lloyd size rounded down, the remaining
    // lanes go to the groups that lost most by the rounding. Then centroids
    // are placed in increasing order of their distance to a group's seed
    // (ties by centroid, then group index) while the group has room.
    std::vector<uint64_t> lloyd_size(static_cast<std::size_t>(g_count), 0);
    for (uint64_t c = 0; c < k; ++c) ++lloyd_size[group_of_[c]];
    const uint64_t lanes_total = (k + DISTANCE_LANES - 1) / DISTANCE_LANES * DISTANCE_LANES;
    std::vector<uint64_t> capacity(static_cast<std::size_t>(g_count));
    uint64_t given = 0;
    for (uint64_t g = 0; g < g_count; ++g) {
        capacity[g] = lloyd_size[g] / DISTANCE_LANES * DISTANCE_LANES;
        given += capacity[g];
    }
    std::vector<uint64_t> by_rest(static_cast<std::size_t>(g_count));
    for (uint64_t g = 0; g < g_count; ++g) by_rest[g] = g;
    std::stable_sort(by_rest.begin(), by_rest.end(), [&](uint64_t a, uint64_t b) {
        return lloyd_size[a] % DISTANCE_LANES > lloyd_size[b] % DISTANCE_LANES;
    });
    for (std::size_t i = 0; given < lanes_total; i = (i + 1) % by_rest.size()) {
        capacity[by_rest[i]] += DISTANCE_LANES;
        given += DISTANCE_LANES;
    }
    struct Pair {
        double dist;
        uint32_t c, g;
    };
    std::vector<Pair> pairs;
    pairs.reserve(static_cast<std::size_t>(k * g_count));
    for (uint64_t c = 0; c < k; ++c) {
        const float* v = centroids + c * d;
        const bool fin = all_finite(v, d);
        for (uint64_t g = 0; g < g_count; ++g) {
            double sum = INF;
            if (fin) {
                sum = 0.0;
                for (uint64_t j = 0; j < d; ++j) {
                    const double diff = v[j] - seeds[g * d + j];
                    sum += diff * diff;
                }
            }
            if (std::isnan(sum)) sum = INF;  // a seed that is not finite
            pairs.push_back(Pair{sum, static_cast<uint32_t>(c), static_cast<uint32_t>(g)});
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
        if (a.dist != b.dist) return a.dist < b.dist;
        return a.c != b.c ? a.c < b.c : a.g < b.g;
    });
    std::vector<unsigned char> placed(static_cast<std::size_t>(k), 0);
    for (const Pair& p : pairs) {
        if (placed[p.c] || capacity[p.g] == 0) continue;
        placed[p.c] = 1;
        --capacity[p.g];
        group_of_[p.c] = p.g;
    }

    lanes_.clear();
    group_size_.clear();
    segment_.assign(1, 0);
    for (uint64_t g = 0; g < g_count; ++g) {
        for (uint64_t c = 0; c < k; ++c)
            if (group_of_[c] == g) lanes_.push_back(static_cast<uint32_t>(c));
        group_size_.push_back(0);
        for (uint64_t c = 0; c < k; ++c) group_size_.back() += group_of_[c] == g ? 1 : 0;
        while (lanes_.size() % DISTANCE_LANES != 0) lanes_.push_back(NO_CENTROID);
        segment_.push_back(lanes_.size());
    }
    // Group centres: the mean of the finite centroids (NaN for a group
    // without any, which is then never nearest).
    std::vector<double> sum(static_cast<std::size_t>(g_count * d), 0.0);
    std::vector<uint64_t> count(static_cast<std::size_t>(g_count), 0);
    for (uint64_t c = 0; c < k; ++c) {
        if (!all_finite(centroids + c * d, d)) continue;
        const uint64_t g = group_of_[c];
        for (uint64_t j = 0; j < d; ++j) sum[g * d + j] += centroids[c * d + j];
        ++count[g];
    }
    group_centre_.assign(static_cast<std::size_t>(g_count * d), std::numeric_limits<float>::quiet_NaN());
    for (uint64_t g = 0; g < g_count; ++g)
        if (count[g] > 0)
            for (uint64_t j = 0; j < d; ++j)
                group_centre_[g * d + j] = static_cast<float>(sum[g * d + j] / static_cast<double>(count[g]));
    groups_formed_ = true;
}

uint64_t BoundedAssignment::assign(const float* centroids, const uint32_t* previous, uint32_t* labels) {
    const uint64_t n = n_, d = d_, k = k_, g_count = groups_;
    if (!groups_formed_) form_groups(centroids);
    const DistanceTable table(centroids, d, lanes_, segment_, isa_);
    const std::size_t width = table.width();
    const bool scan_all = !have_bounds_ || !rounding_.usable;
    last_set_bounds_ = scan_all;
    const float inf = std::numeric_limits<float>::infinity();

    // Per centroid: whether it can win for a finite row at all, how far it
    // moved since the last pass (infinite when it is or was not finite), and
    // half the distance to its nearest finite neighbour. Per group: the
    // largest drift among its finite centroids.
    std::vector<unsigned char> finite(static_cast<std::size_t>(k));
    for (uint64_t c = 0; c < k; ++c) finite[c] = all_finite(centroids + c * d, d) ? 1 : 0;
    std::vector<double> drift(static_cast<std::size_t>(k), 0.0);
    std::vector<double> group_drift(static_cast<std::size_t>(g_count), 0.0);
    std::vector<double> half_gap(static_cast<std::size_t>(k), 0.0);
    // Per centroid c and group g, when use_near: a lower bound on the exact
    // distance from c to every other finite centroid of g (0 for a c that
    // is not finite). A row x within u of c is then at least near - u from
    // each of them, which can exclude whole groups.
    const bool use_near = rounding_.usable && g_count > 1 &&
                          (scan_all ? n >= NEAR_PAYS * k : last_evaluated_ > NEAR_PAYS * k * k);
    std::vector<float> near(use_near ? static_cast<std::size_t>(k * g_count) : 0, 0.0f);
    if (!scan_all) {
        for (uint64_t c = 0; c < k; ++c) {
            const float* old_c = last_centroids_.data() + c * d;
            if (!finite[c]) {
                drift[c] = INF;  // its rows get evaluated; as a competitor it cannot win
                continue;
            }
            drift[c] = all_finite(old_c, d) ? drift_upper(old_c, centroids + c * d, d) : INF;
            group_drift[group_of_[c]] = std::max(group_drift[group_of_[c]], drift[c]);
        }
    }
    // A finite centroid is at computed distance +0 from itself, the
    // smallest value there is, and at +inf or NaN (never counted) from a
    // centroid that is not finite; so the second smallest of its
    // distances to all lanes is the one to its nearest other finite
    // centroid (+0 for a duplicate). Per segment the kernel gives the
    // two smallest; the second smallest overall is among them.
    // The k x k centroid distances cost k / n of a full pass; Hamerly's
    // test saves a few per cent of the distances at best, so it is
    // left out (half_gap 0, no bound) when k is a large share of n.
    // With the table (use_near) the same minima give both.
    const bool with_gap = !scan_all && k * GAP_ROWS_PER_CENTROID <= n;
    const std::size_t centroid_blocks =
        with_gap || use_near ? static_cast<std::size_t>((k + FULL_BLOCK - 1) / FULL_BLOCK) : 0;
    parallel::parallel_for(centroid_blocks, 1, [&](std::size_t begin, std::size_t end) {
        std::vector<float> m1(FULL_BLOCK * g_count), m2(FULL_BLOCK * g_count);
        std::vector<uint32_t> at(FULL_BLOCK * g_count);
        const float* ptrs[FULL_BLOCK];
        for (std::size_t b = begin; b < end; ++b) {
            const uint64_t c0 = b * FULL_BLOCK;
            const std::size_t m = static_cast<std::size_t>(std::min<uint64_t>(FULL_BLOCK, k - c0));
            for (std::size_t r = 0; r < m; ++r) ptrs[r] = centroids + (c0 + r) * d;
            table.minima(ptrs, m, 0, g_count, m1.data(), m2.data(), at.data(), g_count);
            for (std::size_t r = 0; r < m; ++r) {
                const uint64_t c = c0 + r;
                if (!finite[c]) continue;
                // c itself is at +0, the smallest value, in its own
                // group: the second smallest there is the nearest other.
                if (use_near)
                    for (uint64_t g = 0; g < g_count; ++g) {
                        const float v = g == group_of_[c] ? m2[r * g_count + g] : m1[r * g_count + g];
                        near[c * g_count + g] = round_down(rounding_.lower_distance(v));
                    }
                if (scan_all) continue;
                float lo1 = inf, lo2 = inf;
                for (uint64_t g = 0; g < g_count; ++g)
                    for (const float v : {m1[r * g_count + g], m2[r * g_count + g]}) {
                        if (v < lo1) {
                            lo2 = lo1;
                            lo1 = v;
                        } else if (v < lo2) {
                            lo2 = v;
                        }
                    }
                // lower_distance grows with its argument: bound the smallest value only.
                half_gap[c] = 0.5 * rounding_.lower_distance(lo2);
            }
        }
    });

    // The group centres as lanes, for the first guess of the first pass.
    std::vector<uint32_t> centre_lanes;
    if (scan_all && use_near && !have_labels_) {
        for (uint64_t g = 0; g < g_count; ++g) centre_lanes.push_back(static_cast<uint32_t>(g));
        while (centre_lanes.size() % DISTANCE_LANES != 0) centre_lanes.push_back(NO_CENTROID);
    }
    const DistanceTable centres(group_centre_.data(), d, centre_lanes, isa_);

    const std::size_t chunks = static_cast<std::size_t>((n + CHUNK_ROWS - 1) / CHUNK_ROWS);
    std::vector<uint64_t> evaluated(chunks, 0), needed(chunks, 0), changed(chunks, 0);
    parallel::parallel_for(chunks, 1, [&](std::size_t begin, std::size_t end) {
        // Per row of the chunk: the groups still to evaluate (bit g), the
        // computed distance to the own centroid when known, the moved group
        // bounds, and per evaluated group its smallest and second-smallest
        // distances and where the smallest is.
        std::vector<uint32_t> open(CHUNK_ROWS), done(CHUNK_ROWS), guess(CHUNK_ROWS);
        std::vector<float> own(CHUNK_ROWS);
        std::vector<unsigned char> own_known(CHUNK_ROWS), decided(CHUNK_ROWS);
        std::vector<double> low(CHUNK_ROWS * g_count);
        std::vector<float> first(CHUNK_ROWS * g_count), second(CHUNK_ROWS * g_count);
        std::vector<uint32_t> first_index(CHUNK_ROWS * g_count);
        std::vector<uint32_t> members, whole;
        std::vector<float> m1(FULL_BLOCK * g_count), m2(FULL_BLOCK * g_count);
        std::vector<uint32_t> at(FULL_BLOCK * g_count);
        std::vector<float> centre_dist(scan_all && use_near ? FULL_BLOCK * centres.width() : 0);
        std::vector<float> normalized(divisors_ != nullptr ? CHUNK_ROWS * d : 0);
        const float* base = nullptr;  // row lo of the chunk; rows follow every d values
        const float* ptrs[FULL_BLOCK];
        const uint32_t all_groups = g_count >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << g_count) - 1;
        uint64_t evals = 0;
        // Evaluates groups [g0, g0 + count) for the chunk rows `rs` and
        // stores their minima in the rows' slots.
        const auto evaluate = [&](const std::vector<uint32_t>& rs, uint64_t g0, uint64_t count) {
            for (std::size_t m0 = 0; m0 < rs.size(); m0 += FULL_BLOCK) {
                const std::size_t m = std::min(FULL_BLOCK, rs.size() - m0);
                for (std::size_t q = 0; q < m; ++q) ptrs[q] = base + rs[m0 + q] * d;
                table.minima(ptrs, m, g0, g0 + count, m1.data(), m2.data(), at.data(), count);
                for (std::size_t q = 0; q < m; ++q)
                    for (uint64_t e = 0; e < count; ++e) {
                        const std::size_t from = q * count + e, slot = rs[m0 + q] * g_count + g0 + e;
                        first[slot] = m1[from];
                        second[slot] = m2[from];
                        first_index[slot] = m1[from] < inf ? table.centroid(at[from]) : NO_CENTROID;
                    }
            }
        };
        for (std::size_t chunk = begin; chunk < end; ++chunk) {
            const uint64_t lo = chunk * CHUNK_ROWS, hi = std::min<uint64_t>(n, lo + CHUNK_ROWS);
            base = rows_ + lo * d;
            if (divisors_ != nullptr) {
                for (uint64_t i = lo; i < hi; ++i)
                    divide_row(rows_ + i * d, d, divisors_[i], normalized.data() + (i - lo) * d);
                base = normalized.data();
            }
            // 1. Rows the bounds decide, with at most one distance each.
            for (uint64_t i = lo; i < hi; ++i) {
                const std::size_t r = static_cast<std::size_t>(i - lo);
                const float* row = base + r * d;
                uint16_t* lower = lower_.data() + i * g_count;
                double* lw = low.data() + r * g_count;
                const uint32_t a = previous[i];
                own_known[r] = 0;
                decided[r] = 0;
                open[r] = all_groups;
                done[r] = 0;
                if (scan_all || !(upper_[i] < inf)) continue;
                const double up = (static_cast<double>(upper_[i]) + drift[a]) * (1.0 + SLACK);
                double low_all = INF;
                for (uint64_t g = 0; g < g_count; ++g) {
                    lw[g] = std::max(0.0, (widen(lower[g]) - group_drift[g]) * (1.0 - SLACK));
                    low_all = std::min(low_all, lw[g]);
                }
                // Every other finite centroid c: |x - c| >= |a - c| - |x - a| >= 2 half_gap[a] - up.
                const auto competitor = [&](double own_upper) {
                    return rounding_.lower_computed(std::max(low_all, (2.0 * half_gap[a] - own_upper) * (1.0 - SLACK)));
                };
                const auto keep = [&](double own_upper) {
                    labels[i] = a;
                    upper_[i] = round_up(own_upper);
                    for (uint64_t g = 0; g < g_count; ++g) lower[g] = narrow_down(lw[g]);
                    open[r] = 0;
                    decided[r] = 1;
                };
                // Every other finite centroid of g is at least near(a, g) - u
                // from x when x is within u of a.
                const auto tighten = [&](double own_upper) {
                    if (!use_near || !finite[a]) return;
                    const float* nr = near.data() + a * g_count;
                    low_all = INF;
                    for (uint64_t g = 0; g < g_count; ++g) {
                        lw[g] = std::max(lw[g], (static_cast<double>(nr[g]) - own_upper) * (1.0 - SLACK));
                        low_all = std::min(low_all, lw[g]);
                    }
                };
                tighten(up);
                const double own_high = rounding_.upper_computed(up);
                if (own_high < LARGEST && own_high < competitor(up)) {
                    keep(up);
                    continue;
                }
                // Tighten with the exact distance to the own centroid.
                const float o = squared_distance(row, centroids + a * d, static_cast<std::size_t>(d));
                own[r] = o;
                own_known[r] = 1;
                ++evals;
                const double own_up = rounding_.upper_distance(o);
                if (o < NEAREST_START) tighten(own_up);
                if (o < NEAREST_START && static_cast<double>(o) < competitor(own_up)) {
                    keep(own_up);
                    continue;
                }
                // Only groups not provably strictly farther than a.
                if (o < NEAREST_START) {
                    uint32_t mask = 0;
                    for (uint64_t g = 0; g < g_count; ++g)
                        if (!(static_cast<double>(o) < rounding_.lower_computed(lw[g]))) mask |= uint32_t{1} << g;
                    open[r] = mask;
                }
            }
            // 1b. Passes without bounds: each row's likeliest group first
            // (that of its last label, or on the first pass that of the
            // nearest group centre); its best centroid b there, at computed
            // distance o, then excludes every group g with o below the
            // least computed distance that near(b, g) - upper(o) allows.
            if (scan_all && use_near) {
                for (uint64_t i = lo; i < hi; ++i)
                    guess[i - lo] = have_labels_ ? group_of_[previous[i]] : 0;
                if (!have_labels_) {
                    const std::size_t cw = centres.width();
                    for (uint64_t i0 = lo; i0 < hi; i0 += FULL_BLOCK) {
                        const std::size_t m = static_cast<std::size_t>(std::min<uint64_t>(FULL_BLOCK, hi - i0));
                        for (std::size_t q = 0; q < m; ++q) ptrs[q] = base + (i0 - lo + q) * d;
                        centres.distances(ptrs, m, 0, cw, centre_dist.data());
                        for (std::size_t q = 0; q < m; ++q) {
                            float best = NEAREST_START;
                            for (uint64_t g = 0; g < g_count; ++g)
                                if (best > centre_dist[q * cw + g]) {
                                    best = centre_dist[q * cw + g];
                                    guess[i0 - lo + q] = static_cast<uint32_t>(g);
                                }
                        }
                    }
                }
                for (uint64_t g = 0; g < g_count; ++g) {
                    members.clear();
                    for (uint64_t i = lo; i < hi; ++i)
                        if (guess[i - lo] == g) members.push_back(static_cast<uint32_t>(i - lo));
                    evaluate(members, g, 1);
                    evals += members.size() * group_size_[g];
                }
                for (uint64_t i = lo; i < hi; ++i) {
                    const std::size_t r = static_cast<std::size_t>(i - lo);
                    const uint32_t gg = guess[r];
                    done[r] = uint32_t{1} << gg;
                    open[r] = all_groups & ~done[r];
                    const float o = first[r * g_count + gg];
                    if (!(o < NEAREST_START)) continue;
                    const float* nr = near.data() + first_index[r * g_count + gg] * g_count;
                    const double u = rounding_.upper_distance(o);
                    for (uint64_t g = 0; g < g_count; ++g) {
                        if (g == gg) continue;
                        const double l = (static_cast<double>(nr[g]) - u) * (1.0 - SLACK);
                        if (static_cast<double>(o) < rounding_.lower_computed(l)) {
                            open[r] &= ~(uint32_t{1} << g);
                            low[r * g_count + g] = l;
                        }
                    }
                }
            }
            // 2. The open groups. Rows with every group open, and every
            // undecided row when the open groups hold most of the lanes, go
            // through all lanes in one kernel call per block of rows; the
            // others per group, a block of rows per call.
            uint64_t open_lanes = 0, undecided = 0;
            for (uint64_t i = lo; i < hi; ++i) {
                const std::size_t r = static_cast<std::size_t>(i - lo);
                if (decided[r]) continue;
                ++undecided;
                for (uint64_t g = 0; g < g_count; ++g)
                    if ((open[r] | done[r]) >> g & 1) open_lanes += segment_[g + 1] - segment_[g];
            }
            // Lanes to group sizes: padding lanes are few (groups are sized to
            // whole lane blocks), so this count of needed evaluations is close.
            needed[chunk] = open_lanes;
            const bool whole_chunk =
                force_full_chunks_ ||
                static_cast<double>(open_lanes) > FULL_CHUNK_SHARE * static_cast<double>(undecided * width);
            whole.clear();
            for (uint64_t i = lo; i < hi; ++i) {
                const std::size_t r = static_cast<std::size_t>(i - lo);
                if (decided[r]) continue;
                if (whole_chunk) open[r] = all_groups & ~done[r];
                if (open[r] == all_groups) whole.push_back(static_cast<uint32_t>(r));
            }
            evaluate(whole, 0, g_count);
            evals += whole.size() * k;
            for (uint64_t g = 0; g < g_count; ++g) {
                members.clear();
                for (uint64_t i = lo; i < hi; ++i) {
                    const std::size_t r = static_cast<std::size_t>(i - lo);
                    if ((open[r] >> g & 1) && open[r] != all_groups) members.push_back(static_cast<uint32_t>(r));
                }
                evaluate(members, g, 1);
                evals += members.size() * group_size_[g];
            }
            // 3. The full-scan rule over the evaluated centroids (smallest
            // value below FLT_MAX, lowest index on ties, NaN never wins) plus
            // a's own value; every skipped centroid is strictly farther than
            // a. Then the new bounds.
            for (uint64_t i = lo; i < hi; ++i) {
                const std::size_t r = static_cast<std::size_t>(i - lo);
                if (decided[r]) continue;
                const uint32_t a = previous[i];
                const bool own_counts = own_known[r] && own[r] < NEAREST_START;  // a NaN must not start the minimum
                float best = own_counts ? own[r] : inf;
                uint32_t best_index = own_counts ? a : NO_CENTROID;
                const uint32_t evaluated_groups = open[r] | done[r];
                for (uint64_t g = 0; g < g_count; ++g) {
                    if (!(evaluated_groups >> g & 1)) continue;
                    const std::size_t slot = r * g_count + g;
                    if (first[slot] < best || (first[slot] == best && first_index[slot] < best_index)) {
                        best = first[slot];
                        best_index = first_index[slot];
                    }
                }
                uint16_t* lower = lower_.data() + i * g_count;
                if (!(best < NEAREST_START)) {
                    labels[i] = 0;  // no distance below FLT_MAX: label 0, never skipped
                    upper_[i] = inf;
                    for (uint64_t g = 0; g < g_count; ++g) lower[g] = 0;
                    continue;
                }
                labels[i] = best_index;
                upper_[i] = round_up(rounding_.upper_distance(best));
                for (uint64_t g = 0; g < g_count; ++g) {
                    const std::size_t slot = r * g_count + g;
                    if (evaluated_groups >> g & 1) {
                        lower[g] = narrow_down(
                            rounding_.lower_distance(first_index[slot] == best_index ? second[slot] : first[slot]));
                    } else {
                        double l = low[slot];
                        // a left its group's exclusion once it lost its label.
                        if (own_known[r] && g == group_of_[a] && best_index != a)
                            l = std::min(l, rounding_.lower_distance(own[r]));
                        lower[g] = narrow_down(l);
                    }
                }
            }
            uint64_t moved_rows = 0;
            for (uint64_t i = lo; i < hi; ++i) moved_rows += labels[i] != previous[i] ? 1 : 0;
            changed[chunk] = moved_rows;
        }
        evaluated[begin] += evals;  // each range writes its own first slot
    });

    last_centroids_.assign(centroids, centroids + k * d);
    have_bounds_ = true;
    have_labels_ = true;
    evaluated_ = needed_ = 0;
    uint64_t total_changed = 0;
    for (std::size_t c = 0; c < chunks; ++c) {
        evaluated_ += evaluated[c];
        needed_ += needed[c];
        total_changed += changed[c];
    }
    last_evaluated_ = evaluated_;
    if (centroid_blocks > 0) evaluated_ += k * k;  // the centroid-to-centroid minima
    return total_changed;
}

}  // namespace qor
