#include "codebook/centroid_groups.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "codebook/distances.hpp"

namespace qor {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
// Lloyd passes over the centroids that form the groups.
constexpr uint64_t GROUP_SPLIT_PASSES = 5;

// Squared distance from a centroid to a group seed, in double.
double seed_distance(const float* v, const double* seed, uint64_t d) {
    double sum = 0.0;
    for (uint64_t j = 0; j < d; ++j) {
        const double diff = v[j] - seed[j];
        sum += diff * diff;
    }
    return sum;
}

// Per group: how many finite centroids it holds and their mean (summed in
// double in centroid order; 0 for a group without any).
struct GroupMeans {
    std::vector<double> mean;
    std::vector<uint64_t> count;
};

GroupMeans group_means(const float* centroids, uint64_t k, uint64_t d, const std::vector<uint32_t>& group_of,
                       uint64_t g_count) {
    GroupMeans m{std::vector<double>(static_cast<std::size_t>(g_count * d), 0.0),
                 std::vector<uint64_t>(static_cast<std::size_t>(g_count), 0)};
    for (uint64_t c = 0; c < k; ++c) {
        if (!all_finite(centroids + c * d, d)) continue;
        const uint64_t g = group_of[c];
        for (uint64_t j = 0; j < d; ++j) m.mean[g * d + j] += centroids[c * d + j];
        ++m.count[g];
    }
    for (uint64_t g = 0; g < g_count; ++g)
        if (m.count[g] > 0)
            for (uint64_t j = 0; j < d; ++j) m.mean[g * d + j] /= static_cast<double>(m.count[g]);
    return m;
}

// A few Lloyd passes over the centroids themselves, in double, seeded with
// evenly spaced centroids: returns the seeds, and group_of holds each finite
// centroid's nearest seed (a centroid that is not finite stays in group 0).
std::vector<double> lloyd_seeds(const float* centroids, uint64_t k, uint64_t d, uint64_t g_count,
                                std::vector<uint32_t>& group_of) {
    std::vector<double> seeds(static_cast<std::size_t>(g_count * d));
    for (uint64_t g = 0; g < g_count; ++g)
        for (uint64_t j = 0; j < d; ++j) seeds[g * d + j] = centroids[(g * k / g_count) * d + j];
    group_of.assign(static_cast<std::size_t>(k), 0);
    for (uint64_t pass = 0; pass < GROUP_SPLIT_PASSES; ++pass) {
        for (uint64_t c = 0; c < k; ++c) {
            const float* v = centroids + c * d;
            if (!all_finite(v, d)) continue;
            double best = INF;
            for (uint64_t g = 0; g < g_count; ++g) {
                const double sum = seed_distance(v, seeds.data() + g * d, d);
                if (sum < best) {
                    best = sum;
                    group_of[c] = static_cast<uint32_t>(g);
                }
            }
        }
        const GroupMeans means = group_means(centroids, k, d, group_of, g_count);
        for (uint64_t g = 0; g < g_count; ++g)
            if (means.count[g] > 0)
                std::copy_n(means.mean.begin() + static_cast<std::ptrdiff_t>(g * d), d,
                            seeds.begin() + static_cast<std::ptrdiff_t>(g * d));
    }
    return seeds;
}

// Group capacities that are multiples of DISTANCE_LANES, so a group's lanes
// are not padded (except where the total k is not a multiple): each group
// gets its Lloyd size rounded down, the remaining lanes go to the groups
// that lost most by the rounding.
std::vector<uint64_t> lane_capacities(const std::vector<uint32_t>& group_of, uint64_t k, uint64_t g_count) {
    std::vector<uint64_t> lloyd_size(static_cast<std::size_t>(g_count), 0);
    for (uint64_t c = 0; c < k; ++c) ++lloyd_size[group_of[c]];
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
    return capacity;
}

// Places centroids in increasing order of their distance to a group's seed
// (ties by centroid, then group index) while the group has room.
void place_by_distance(const float* centroids, uint64_t k, uint64_t d, const std::vector<double>& seeds,
                       std::vector<uint64_t> capacity, std::vector<uint32_t>& group_of) {
    const uint64_t g_count = capacity.size();
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
            double sum = fin ? seed_distance(v, seeds.data() + g * d, d) : INF;
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
        group_of[p.c] = p.g;
    }
}

}  // namespace

CentroidGroups group_centroids(const float* centroids, uint64_t k, uint64_t d, uint64_t g_count) {
    CentroidGroups out;
    const std::vector<double> seeds = lloyd_seeds(centroids, k, d, g_count, out.group_of);
    place_by_distance(centroids, k, d, seeds, lane_capacities(out.group_of, k, g_count), out.group_of);

    out.size.assign(static_cast<std::size_t>(g_count), 0);
    out.segment.assign(1, 0);
    for (uint64_t g = 0; g < g_count; ++g) {
        for (uint64_t c = 0; c < k; ++c)
            if (out.group_of[c] == g) out.lanes.push_back(static_cast<uint32_t>(c));
        out.size[g] = out.lanes.size() - out.segment.back();
        while (out.lanes.size() % DISTANCE_LANES != 0) out.lanes.push_back(NO_CENTROID);
        out.segment.push_back(out.lanes.size());
    }
    // Group centres: the mean of the finite centroids (NaN for a group
    // without any, which is then never nearest).
    const GroupMeans means = group_means(centroids, k, d, out.group_of, g_count);
    out.centre.assign(static_cast<std::size_t>(g_count * d), std::numeric_limits<float>::quiet_NaN());
    for (uint64_t g = 0; g < g_count; ++g)
        if (means.count[g] > 0)
            for (uint64_t j = 0; j < d; ++j)
                out.centre[g * d + j] = static_cast<float>(means.mean[g * d + j]);
    return out;
}

}  // namespace qor
