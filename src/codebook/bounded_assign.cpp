#include "codebook/bounded_assign.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "codebook/distances.hpp"
#include "codebook/kmeans.hpp"
#include "parallel/thread_pool.hpp"

namespace qor {

namespace {

constexpr double UNIT = 0x1p-24;  // unit roundoff of float
// Relative slack that covers the few double roundings (each at most 2^-53)
// between a bound's inputs and the value compared.
constexpr double SLACK = 0x1p-50;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double LARGEST = NEAREST_START;  // FLT_MAX; a computed distance must be below it to win

// Rows per parallel task; most centroid groups per row.
constexpr std::size_t CHUNK_ROWS = 1024;
constexpr uint64_t MAX_GROUPS = 16;
constexpr uint64_t GROUP_SPLIT_PASSES = 5;

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


BoundedAssignment::BoundedAssignment(const float* rows, uint64_t n, uint64_t d, uint64_t k, parallel::Isa isa)
    : rows_(rows), n_(n), d_(d), k_(k), isa_(isa), rounding_(d) {
    groups_ = std::clamp<uint64_t>(k / 32, 1, MAX_GROUPS);
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
    lanes_.clear();
    segment_.assign(1, 0);
    for (uint64_t g = 0; g < g_count; ++g) {
        for (uint64_t c = 0; c < k; ++c)
            if (group_of_[c] == g) lanes_.push_back(static_cast<uint32_t>(c));
        while (lanes_.size() % DISTANCE_LANES != 0) lanes_.push_back(NO_CENTROID);
        segment_.push_back(lanes_.size());
    }
}

uint64_t BoundedAssignment::assign(const float* centroids, const uint32_t* previous, uint32_t* labels) {
    const uint64_t n = n_, d = d_, k = k_, g_count = groups_;
    if (!have_bounds_) form_groups(centroids);
    const DistanceTable table(centroids, d, lanes_, isa_);
    const std::size_t width = table.width();
    const bool scan_all = !have_bounds_ || !rounding_.usable;

    // Per centroid: whether it can win for a finite row at all, how far it
    // moved since the last pass (infinite when it is or was not finite), and
    // half the distance to its nearest finite neighbour. Per group: the
    // largest drift among its finite centroids.
    std::vector<unsigned char> finite(static_cast<std::size_t>(k));
    for (uint64_t c = 0; c < k; ++c) finite[c] = all_finite(centroids + c * d, d) ? 1 : 0;
    std::vector<double> drift(static_cast<std::size_t>(k), 0.0);
    std::vector<double> group_drift(static_cast<std::size_t>(g_count), 0.0);
    std::vector<double> half_gap(static_cast<std::size_t>(k), 0.0);
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
        parallel::parallel_for(static_cast<std::size_t>(k), 64, [&](std::size_t begin, std::size_t end) {
            std::vector<float> dist(width);
            for (std::size_t c = begin; c < end; ++c) {
                if (!finite[c]) continue;
                table.distances(centroids + c * d, 0, width, dist.data());
                // lower_distance grows with its argument: bound the smallest value only.
                float nearest = std::numeric_limits<float>::infinity();
                for (std::size_t p = 0; p < width; ++p) {
                    const uint32_t o = table.centroid(p);
                    if (o != NO_CENTROID && o != c && finite[o] && dist[p] < nearest) nearest = dist[p];
                }
                half_gap[c] = 0.5 * rounding_.lower_distance(nearest);
            }
        });
    }

    const std::size_t chunks = static_cast<std::size_t>((n + CHUNK_ROWS - 1) / CHUNK_ROWS);
    std::vector<uint64_t> evaluated(chunks, 0), changed(chunks, 0);
    parallel::parallel_for(chunks, 1, [&](std::size_t begin, std::size_t end) {
        std::vector<float> dist(width);
        double low[MAX_GROUPS];
        bool open[MAX_GROUPS];
        uint64_t evals = 0;
        for (std::size_t chunk = begin; chunk < end; ++chunk) {
            const uint64_t lo = chunk * CHUNK_ROWS, hi = std::min<uint64_t>(n, lo + CHUNK_ROWS);
            for (uint64_t i = lo; i < hi; ++i) {
                const float* row = rows_ + i * d;
                float* lower = lower_.data() + i * g_count;
                const uint32_t a = previous[i];
                // `own` is the computed distance to centroid a once evaluated.
                bool own_known = false;
                float own = 0.0f;
                for (uint64_t g = 0; g < g_count; ++g) open[g] = true;
                if (!scan_all && upper_[i] < std::numeric_limits<float>::infinity()) {
                    const double up = (static_cast<double>(upper_[i]) + drift[a]) * (1.0 + SLACK);
                    double low_all = INF;
                    for (uint64_t g = 0; g < g_count; ++g) {
                        low[g] = std::max(0.0, (static_cast<double>(lower[g]) - group_drift[g]) * (1.0 - SLACK));
                        low_all = std::min(low_all, low[g]);
                    }
                    // Every other finite centroid c: |x - c| >= |a - c| - |x - a| >= 2 half_gap[a] - up.
                    const auto competitor = [&](double own_upper) {
                        return rounding_.lower_computed(
                            std::max(low_all, (2.0 * half_gap[a] - own_upper) * (1.0 - SLACK)));
                    };
                    const auto keep = [&](double own_upper) {
                        labels[i] = a;
                        upper_[i] = round_up(own_upper);
                        for (uint64_t g = 0; g < g_count; ++g) lower[g] = round_down(low[g]);
                    };
                    const double own_high = rounding_.upper_computed(up);
                    if (own_high < LARGEST && own_high < competitor(up)) {
                        keep(up);
                        continue;
                    }
                    // Tighten with the exact distance to the own centroid.
                    own = squared_distance(row, centroids + a * d, static_cast<std::size_t>(d));
                    own_known = true;
                    ++evals;
                    const double own_up = rounding_.upper_distance(own);
                    if (own < NEAREST_START && static_cast<double>(own) < competitor(own_up)) {
                        keep(own_up);
                        continue;
                    }
                    // Groups whose every centroid is provably strictly farther than a.
                    if (own < NEAREST_START)
                        for (uint64_t g = 0; g < g_count; ++g)
                            open[g] = !(static_cast<double>(own) < rounding_.lower_computed(low[g]));
                }
                // The full-scan rule over the evaluated centroids (smallest
                // value below FLT_MAX, lowest index on ties, NaN never wins)
                // plus a's value; every skipped centroid is strictly farther
                // than a. Per open group: its smallest and second-smallest
                // values and where the smallest is.
                const bool own_counts = own_known && own < NEAREST_START;  // a NaN must not start the minimum
                float best = own_counts ? own : std::numeric_limits<float>::infinity();
                uint32_t best_index = own_counts ? a : NO_CENTROID;
                float first[MAX_GROUPS], second[MAX_GROUPS];
                uint32_t first_index[MAX_GROUPS];
                for (uint64_t g = 0; g < g_count; ++g) {
                    if (!open[g]) continue;
                    const std::size_t s0 = segment_[g], s1 = segment_[g + 1];
                    table.distances(row, s0, s1, dist.data());
                    float m1 = std::numeric_limits<float>::infinity(), m2 = m1;
                    uint32_t i1 = NO_CENTROID;
                    for (std::size_t p = s0; p < s1; ++p) {
                        const uint32_t c = table.centroid(p);
                        if (c == NO_CENTROID) continue;
                        ++evals;
                        const float v = dist[p - s0];
                        if (v < m1 || (v == m1 && c < i1)) {
                            m2 = m1;
                            m1 = v;
                            i1 = c;
                        } else if (v < m2) {
                            m2 = v;
                        }
                    }
                    first[g] = m1;
                    second[g] = m2;
                    first_index[g] = i1;
                    if (m1 < best || (m1 == best && i1 < best_index)) {
                        best = m1;
                        best_index = i1;
                    }
                }
                if (!(best < NEAREST_START)) {
                    labels[i] = 0;  // no distance below FLT_MAX: label 0, never skipped
                    upper_[i] = std::numeric_limits<float>::infinity();
                    for (uint64_t g = 0; g < g_count; ++g) lower[g] = 0.0f;
                    continue;
                }
                labels[i] = best_index;
                upper_[i] = round_up(rounding_.upper_distance(best));
                for (uint64_t g = 0; g < g_count; ++g) {
                    if (open[g]) {
                        lower[g] = round_down(rounding_.lower_distance(first_index[g] == best_index ? second[g] : first[g]));
                    } else {
                        double l = low[g];
                        // a left its group's exclusion once it lost its label.
                        if (g == group_of_[a] && best_index != a) l = std::min(l, rounding_.lower_distance(own));
                        lower[g] = round_down(l);
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
    evaluated_ = 0;
    uint64_t total_changed = 0;
    for (std::size_t c = 0; c < chunks; ++c) {
        evaluated_ += evaluated[c];
        total_changed += changed[c];
    }
    return total_changed;
}

}  // namespace qor
