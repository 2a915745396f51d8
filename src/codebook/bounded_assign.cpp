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

// Rows per parallel task and rows per call of the distance kernel.
constexpr std::size_t CHUNK_ROWS = 1024;
constexpr std::size_t BLOCK_ROWS = 16;

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
    : rows_(rows), n_(n), d_(d), k_(k), isa_(isa), rounding_(d),
      upper_(static_cast<std::size_t>(n)), lower_(static_cast<std::size_t>(n)) {}

uint64_t BoundedAssignment::assign(const float* centroids, const uint32_t* previous, uint32_t* labels) {
    const uint64_t n = n_, d = d_, k = k_;
    const DistanceTable table(centroids, k, d, isa_);
    const std::size_t stride = table.stride();
    const bool scan_all = !have_bounds_ || !rounding_.usable;

    // Per centroid: whether it can win for a finite row at all, how far it
    // moved since the last pass (infinite when its finiteness changed), and
    // half the distance to its nearest finite neighbour.
    std::vector<unsigned char> finite(static_cast<std::size_t>(k));
    for (uint64_t c = 0; c < k; ++c) finite[c] = all_finite(centroids + c * d, d) ? 1 : 0;
    std::vector<double> drift(static_cast<std::size_t>(k), 0.0);
    std::vector<double> half_gap(static_cast<std::size_t>(k), 0.0);
    double drift_max = 0.0, drift_second = 0.0;
    uint64_t drift_argmax = k;
    if (!scan_all) {
        for (uint64_t c = 0; c < k; ++c) {
            const float* old_c = last_centroids_.data() + c * d;
            if (!finite[c]) {
                drift[c] = INF;  // its rows get evaluated; as a competitor it cannot win
                continue;
            }
            drift[c] = all_finite(old_c, d) ? drift_upper(old_c, centroids + c * d, d) : INF;
            if (drift[c] > drift_max) {
                drift_second = drift_max;
                drift_max = drift[c];
                drift_argmax = c;
            } else if (drift[c] > drift_second) {
                drift_second = drift[c];
            }
        }
        const std::size_t blocks = static_cast<std::size_t>((k + BLOCK_ROWS - 1) / BLOCK_ROWS);
        parallel::parallel_for(blocks, 1, [&](std::size_t begin, std::size_t end) {
            std::vector<float> dist(BLOCK_ROWS * stride);
            for (std::size_t b = begin; b < end; ++b) {
                const uint64_t c0 = b * BLOCK_ROWS, rows = std::min<uint64_t>(BLOCK_ROWS, k - c0);
                table.distances(centroids + c0 * d, static_cast<std::size_t>(rows), dist.data());
                for (uint64_t r = 0; r < rows; ++r) {
                    const uint64_t c = c0 + r;
                    // lower_distance grows with its argument: bound the smallest value only.
                    float nearest = std::numeric_limits<float>::infinity();
                    for (uint64_t o = 0; o < k; ++o)
                        if (o != c && finite[o] && dist[r * stride + o] < nearest) nearest = dist[r * stride + o];
                    half_gap[c] = finite[c] ? 0.5 * rounding_.lower_distance(nearest) : 0.0;
                }
            }
        });
    }

    const std::size_t chunks = static_cast<std::size_t>((n + CHUNK_ROWS - 1) / CHUNK_ROWS);
    std::vector<uint64_t> evaluated(chunks, 0), changed(chunks, 0);
    parallel::parallel_for(chunks, 1, [&](std::size_t begin, std::size_t end) {
        std::vector<float> block(static_cast<std::size_t>(BLOCK_ROWS * d));
        std::vector<float> dist(BLOCK_ROWS * stride);
        uint64_t pending[BLOCK_ROWS];
        std::size_t waiting = 0;
        uint64_t evals = 0;
        // Every distance of the waiting rows: the label by the full-scan rule
        // (smallest value below FLT_MAX, first index on ties, NaN never
        // wins), and new bounds from the best and second-best values.
        const auto flush = [&] {
            for (std::size_t r = 0; r < waiting; ++r)
                std::memcpy(block.data() + r * d, rows_ + pending[r] * d, static_cast<std::size_t>(d) * sizeof(float));
            table.distances(block.data(), waiting, dist.data());
            evals += waiting * k;
            for (std::size_t r = 0; r < waiting; ++r) {
                const float* v = dist.data() + r * stride;
                float best = std::numeric_limits<float>::infinity(), second = best;
                uint32_t best_index = 0;
                for (uint64_t c = 0; c < k; ++c) {
                    if (v[c] < best) {
                        second = best;
                        best = v[c];
                        best_index = static_cast<uint32_t>(c);
                    } else if (v[c] < second) {
                        second = v[c];
                    }
                }
                const uint64_t i = pending[r];
                if (best < NEAREST_START) {
                    labels[i] = best_index;
                    upper_[i] = round_up(rounding_.upper_distance(best));
                    lower_[i] = round_down(rounding_.lower_distance(second));
                } else {
                    labels[i] = 0;  // no distance below FLT_MAX: label 0, never skipped
                    upper_[i] = std::numeric_limits<float>::infinity();
                    lower_[i] = 0.0f;
                }
            }
            waiting = 0;
        };
        for (std::size_t chunk = begin; chunk < end; ++chunk) {
            const uint64_t lo = chunk * CHUNK_ROWS, hi = std::min<uint64_t>(n, lo + CHUNK_ROWS);
            for (uint64_t i = lo; i < hi; ++i) {
                if (!scan_all && upper_[i] < std::numeric_limits<float>::infinity()) {
                    const uint32_t a = previous[i];
                    const double up = (static_cast<double>(upper_[i]) + drift[a]) * (1.0 + SLACK);
                    const double moved = drift_argmax == a ? drift_second : drift_max;
                    const double low = std::max(0.0, (static_cast<double>(lower_[i]) - moved) * (1.0 - SLACK));
                    // Every other finite centroid c: |x - c| >= |a - c| - |x - a| >= 2 half_gap[a] - up.
                    const auto competitor = [&](double own) {
                        return rounding_.lower_computed(std::max(low, (2.0 * half_gap[a] - own) * (1.0 - SLACK)));
                    };
                    const double own_high = rounding_.upper_computed(up);
                    if (own_high < LARGEST && own_high < competitor(up)) {
                        labels[i] = a;
                        upper_[i] = round_up(up);
                        lower_[i] = round_down(low);
                        continue;
                    }
                    // Tighten with the exact distance to the own centroid.
                    const float own = squared_distance(rows_ + i * d, centroids + a * d, static_cast<std::size_t>(d));
                    ++evals;
                    const double own_up = rounding_.upper_distance(own);
                    if (own < NEAREST_START && static_cast<double>(own) < competitor(own_up)) {
                        labels[i] = a;
                        upper_[i] = round_up(own_up);
                        lower_[i] = round_down(low);
                        continue;
                    }
                }
                pending[waiting++] = i;
                if (waiting == BLOCK_ROWS) flush();
            }
            flush();
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
