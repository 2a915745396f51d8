#include "codebook/bounded_assign.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "codebook/centroid_groups.hpp"
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

uint64_t BoundedAssignment::default_max_groups(uint64_t d) {
    return std::clamp<uint64_t>(d / 8, 1, 16);
}

BoundedAssignment::BoundedAssignment(const float* rows, uint64_t n, uint64_t d, uint64_t k, parallel::Isa isa,
                                     uint64_t max_groups, const float* divisors)
    : rows_(rows), divisors_(divisors), n_(n), d_(d), k_(k), isa_(isa), rounding_(d) {
    if (max_groups == 0) max_groups = default_max_groups(d);
    groups_ = std::clamp<uint64_t>(k / GROUP_CENTROIDS, 1, std::min<uint64_t>(max_groups, 32));
    upper_.resize(static_cast<std::size_t>(n));
    lower_.resize(static_cast<std::size_t>(n * groups_));
}

// What one pass shares, read-only once set up, with every chunk of rows.
struct BoundedAssignment::Pass {
    Pass(const BoundedAssignment& a, const float* centroids, const uint32_t* previous, uint32_t* labels);

    const float* centroids;
    const uint32_t* previous;
    uint32_t* labels;
    DistanceTable table;
    bool scan_all;  // no bounds to start from: every row's groups are evaluated
    bool use_near;  // whether `near` is computed (when it pays)
    // Hamerly's half-gap test: the k x k centroid distances cost k / n of a
    // full pass and save a few per cent of the distances at best, so it is
    // left out (half_gap 0, no bound) when k is a large share of n.
    bool with_gap;
    uint32_t all_groups;
    // Per centroid: whether it can win for a finite row at all, how far it
    // moved since the last pass (infinite when it is or was not finite), and
    // half the distance to its nearest finite neighbour. Per group: the
    // largest drift among its finite centroids.
    std::vector<unsigned char> finite;
    std::vector<double> drift;
    std::vector<double> group_drift;
    std::vector<double> half_gap;
    // Per centroid c and group g, when use_near: a lower bound on the exact
    // distance from c to every other finite centroid of g (0 for a c that
    // is not finite). A row x within u of c is then at least near - u from
    // each of them, which can exclude whole groups.
    std::vector<float> near;
    // The group centres as lanes, for the first guess of the first pass.
    DistanceTable centres;

    void measure_drift(const BoundedAssignment& a);
    // The centroid-to-centroid minima behind half_gap and near; returns
    // whether it computed them.
    bool measure_gaps(const BoundedAssignment& a);
};

namespace {

std::vector<uint32_t> centre_lanes(bool needed, uint64_t g_count) {
    std::vector<uint32_t> lanes;
    if (!needed) return lanes;
    for (uint64_t g = 0; g < g_count; ++g) lanes.push_back(static_cast<uint32_t>(g));
    while (lanes.size() % DISTANCE_LANES != 0) lanes.push_back(NO_CENTROID);
    return lanes;
}

}  // namespace

BoundedAssignment::Pass::Pass(const BoundedAssignment& a, const float* centroids_, const uint32_t* previous_,
                              uint32_t* labels_)
    : centroids(centroids_),
      previous(previous_),
      labels(labels_),
      table(centroids_, a.d_, a.split_.lanes, a.split_.segment, a.isa_),
      scan_all(!a.have_bounds_ || !a.rounding_.usable),
      use_near(a.rounding_.usable && a.groups_ > 1 &&
               (scan_all ? a.n_ >= NEAR_PAYS * a.k_ : a.last_evaluated_ > NEAR_PAYS * a.k_ * a.k_)),
      with_gap(!scan_all && a.k_ * GAP_ROWS_PER_CENTROID <= a.n_),
      all_groups(a.groups_ >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << a.groups_) - 1),
      finite(static_cast<std::size_t>(a.k_)),
      drift(static_cast<std::size_t>(a.k_), 0.0),
      group_drift(static_cast<std::size_t>(a.groups_), 0.0),
      half_gap(static_cast<std::size_t>(a.k_), 0.0),
      near(use_near ? static_cast<std::size_t>(a.k_ * a.groups_) : 0, 0.0f),
      centres(a.split_.centre.data(), a.d_, centre_lanes(scan_all && use_near && !a.have_labels_, a.groups_),
              a.isa_) {
    for (uint64_t c = 0; c < a.k_; ++c) finite[c] = all_finite(centroids + c * a.d_, a.d_) ? 1 : 0;
}

void BoundedAssignment::Pass::measure_drift(const BoundedAssignment& a) {
    const uint64_t d = a.d_;
    for (uint64_t c = 0; c < a.k_; ++c) {
        const float* old_c = a.last_centroids_.data() + c * d;
        if (!finite[c]) {
            drift[c] = INF;  // its rows get evaluated; as a competitor it cannot win
            continue;
        }
        drift[c] = all_finite(old_c, d) ? drift_upper(old_c, centroids + c * d, d) : INF;
        group_drift[a.split_.group_of[c]] = std::max(group_drift[a.split_.group_of[c]], drift[c]);
    }
}

bool BoundedAssignment::Pass::measure_gaps(const BoundedAssignment& a) {
    // A finite centroid is at computed distance +0 from itself, the
    // smallest value there is, and at +inf or NaN (never counted) from a
    // centroid that is not finite; so the second smallest of its distances
    // to all lanes is the one to its nearest other finite centroid (+0 for
    // a duplicate). Per segment the kernel gives the two smallest; the
    // second smallest overall is among them. With the table (use_near) the
    // same minima give both.
    if (!with_gap && !use_near) return false;
    const uint64_t k = a.k_, d = a.d_, g_count = a.groups_;
    const float inf = std::numeric_limits<float>::infinity();
    const auto blocks = static_cast<std::size_t>((k + FULL_BLOCK - 1) / FULL_BLOCK);
    parallel::parallel_for(blocks, 1, [&](std::size_t begin, std::size_t end) {
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
                const float* v1 = m1.data() + r * g_count;
                const float* v2 = m2.data() + r * g_count;
                // c itself is at +0, the smallest value, in its own
                // group: the second smallest there is the nearest other.
                if (use_near)
                    for (uint64_t g = 0; g < g_count; ++g)
                        near[c * g_count + g] =
                            round_down(a.rounding_.lower_distance(g == a.split_.group_of[c] ? v2[g] : v1[g]));
                if (scan_all) continue;
                float lo1 = inf, lo2 = inf;
                for (uint64_t g = 0; g < g_count; ++g)
                    for (const float v : {v1[g], v2[g]}) {
                        if (v < lo1) {
                            lo2 = lo1;
                            lo1 = v;
                        } else if (v < lo2) {
                            lo2 = v;
                        }
                    }
                // lower_distance grows with its argument: bound the smallest value only.
                half_gap[c] = 0.5 * a.rounding_.lower_distance(lo2);
            }
        }
    });
    return true;
}

// One task's working space, reused for each chunk of rows it takes, and the
// phases of a pass over one chunk. Per row of the chunk: the groups still to
// evaluate (bit g) and those already evaluated, the computed distance to the
// own centroid when known, the moved group bounds, and per evaluated group
// its smallest and second-smallest distances and where the smallest is.
struct BoundedAssignment::Chunk {
    Chunk(BoundedAssignment& owner, const Pass& p);

    BoundedAssignment& owner;
    const Pass& p;
    const uint64_t d, g_count;
    std::vector<uint32_t> open, done, guess;
    std::vector<float> own;
    std::vector<unsigned char> own_known, decided;
    std::vector<double> low;
    std::vector<float> first, second;
    std::vector<uint32_t> first_index;
    std::vector<uint32_t> members, whole;
    std::vector<float> m1, m2;
    std::vector<uint32_t> at;
    std::vector<float> centre_dist;
    std::vector<float> normalized;
    const float* ptrs[FULL_BLOCK];
    uint64_t lo = 0, hi = 0;
    const float* base = nullptr;  // row lo; rows follow every d values
    uint64_t evals = 0;           // row-to-centroid distances evaluated

    // Takes rows [lo, hi); with divisors, as normalised copies.
    void load(uint64_t lo_, uint64_t hi_);
    // 1. Rows the bounds decide, with at most one distance each.
    void bound_rows();
    void bound_row(uint64_t i);
    // 1b. Passes without bounds: each row's likeliest group first.
    void guess_groups();
    void guess_by_centres();
    // 2. The open groups; returns the lanes they hold over undecided rows.
    uint64_t evaluate_open();
    // 3. Labels and new bounds of the rows the bounds did not decide.
    void settle_rows();
    void settle_row(uint64_t i);
    // Evaluates groups [g0, g0 + count) for the chunk rows `rs` and stores
    // their minima in the rows' slots.
    void evaluate(const std::vector<uint32_t>& rs, uint64_t g0, uint64_t count);
    // Evaluates group g for the rows `rs`, counting its distances.
    void evaluate_group(const std::vector<uint32_t>& rs, uint64_t g);
    uint64_t changed() const;
};

BoundedAssignment::Chunk::Chunk(BoundedAssignment& owner_, const Pass& p_)
    : owner(owner_),
      p(p_),
      d(owner_.d_),
      g_count(owner_.groups_),
      open(CHUNK_ROWS),
      done(CHUNK_ROWS),
      guess(CHUNK_ROWS),
      own(CHUNK_ROWS),
      own_known(CHUNK_ROWS),
      decided(CHUNK_ROWS),
      low(CHUNK_ROWS * g_count),
      first(CHUNK_ROWS * g_count),
      second(CHUNK_ROWS * g_count),
      first_index(CHUNK_ROWS * g_count),
      m1(FULL_BLOCK * g_count),
      m2(FULL_BLOCK * g_count),
      at(FULL_BLOCK * g_count),
      centre_dist(p_.scan_all && p_.use_near ? FULL_BLOCK * p_.centres.width() : 0),
      normalized(owner_.divisors_ != nullptr ? CHUNK_ROWS * d : 0) {}

void BoundedAssignment::Chunk::load(uint64_t lo_, uint64_t hi_) {
    lo = lo_;
    hi = hi_;
    base = owner.rows_ + lo * d;
    if (owner.divisors_ == nullptr) return;
    for (uint64_t i = lo; i < hi; ++i)
        divide_row(owner.rows_ + i * d, d, owner.divisors_[i], normalized.data() + (i - lo) * d);
    base = normalized.data();
}

void BoundedAssignment::Chunk::evaluate(const std::vector<uint32_t>& rs, uint64_t g0, uint64_t count) {
    const float inf = std::numeric_limits<float>::infinity();
    for (std::size_t m0 = 0; m0 < rs.size(); m0 += FULL_BLOCK) {
        const std::size_t m = std::min(FULL_BLOCK, rs.size() - m0);
        for (std::size_t q = 0; q < m; ++q) ptrs[q] = base + rs[m0 + q] * d;
        p.table.minima(ptrs, m, g0, g0 + count, m1.data(), m2.data(), at.data(), count);
        for (std::size_t q = 0; q < m; ++q)
            for (uint64_t e = 0; e < count; ++e) {
                const std::size_t from = q * count + e, slot = rs[m0 + q] * g_count + g0 + e;
                first[slot] = m1[from];
                second[slot] = m2[from];
                first_index[slot] = m1[from] < inf ? p.table.centroid(at[from]) : NO_CENTROID;
            }
    }
}

void BoundedAssignment::Chunk::evaluate_group(const std::vector<uint32_t>& rs, uint64_t g) {
    evaluate(rs, g, 1);
    evals += rs.size() * owner.split_.size[g];
}

void BoundedAssignment::Chunk::bound_rows() {
    for (uint64_t i = lo; i < hi; ++i) {
        const std::size_t r = static_cast<std::size_t>(i - lo);
        own_known[r] = 0;
        decided[r] = 0;
        open[r] = p.all_groups;
        done[r] = 0;
        if (p.scan_all || !(owner.upper_[i] < std::numeric_limits<float>::infinity())) continue;
        bound_row(i);
    }
}

void BoundedAssignment::Chunk::bound_row(uint64_t i) {
    const std::size_t r = static_cast<std::size_t>(i - lo);
    const DistanceRounding& rounding = owner.rounding_;
    uint16_t* lower = owner.lower_.data() + i * g_count;
    double* lw = low.data() + r * g_count;
    const uint32_t a = p.previous[i];
    const double up = (static_cast<double>(owner.upper_[i]) + p.drift[a]) * (1.0 + SLACK);
    double low_all = INF;
    for (uint64_t g = 0; g < g_count; ++g) {
        lw[g] = std::max(0.0, (widen(lower[g]) - p.group_drift[g]) * (1.0 - SLACK));
        low_all = std::min(low_all, lw[g]);
    }
    // Every other finite centroid c: |x - c| >= |a - c| - |x - a| >= 2 half_gap[a] - up.
    const auto competitor = [&](double own_upper) {
        return rounding.lower_computed(std::max(low_all, (2.0 * p.half_gap[a] - own_upper) * (1.0 - SLACK)));
    };
    const auto keep = [&](double own_upper) {
        p.labels[i] = a;
        owner.upper_[i] = round_up(own_upper);
        for (uint64_t g = 0; g < g_count; ++g) lower[g] = narrow_down(lw[g]);
        open[r] = 0;
        decided[r] = 1;
    };
    // Every other finite centroid of g is at least near(a, g) - u from x
    // when x is within u of owner.
    const auto tighten = [&](double own_upper) {
        if (!p.use_near || !p.finite[a]) return;
        const float* nr = p.near.data() + a * g_count;
        low_all = INF;
        for (uint64_t g = 0; g < g_count; ++g) {
            lw[g] = std::max(lw[g], (static_cast<double>(nr[g]) - own_upper) * (1.0 - SLACK));
            low_all = std::min(low_all, lw[g]);
        }
    };
    tighten(up);
    const double own_high = rounding.upper_computed(up);
    if (own_high < LARGEST && own_high < competitor(up)) return keep(up);
    // Tighten with the exact distance to the own centroid.
    const float o = squared_distance(base + r * d, p.centroids + a * d, static_cast<std::size_t>(d));
    own[r] = o;
    own_known[r] = 1;
    ++evals;
    if (!(o < NEAREST_START)) return;
    const double own_up = rounding.upper_distance(o);
    tighten(own_up);
    if (static_cast<double>(o) < competitor(own_up)) return keep(own_up);
    // Only groups not provably strictly farther than owner.
    uint32_t mask = 0;
    for (uint64_t g = 0; g < g_count; ++g)
        if (!(static_cast<double>(o) < rounding.lower_computed(lw[g]))) mask |= uint32_t{1} << g;
    open[r] = mask;
}

void BoundedAssignment::Chunk::guess_by_centres() {
    const std::size_t cw = p.centres.width();
    for (uint64_t i0 = lo; i0 < hi; i0 += FULL_BLOCK) {
        const std::size_t m = static_cast<std::size_t>(std::min<uint64_t>(FULL_BLOCK, hi - i0));
        for (std::size_t q = 0; q < m; ++q) ptrs[q] = base + (i0 - lo + q) * d;
        p.centres.distances(ptrs, m, 0, cw, centre_dist.data());
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

void BoundedAssignment::Chunk::guess_groups() {
    // The group of the row's last label, or on the first pass that of the
    // nearest group centre. Its best centroid b there, at computed distance
    // o, then excludes every group g with o below the least computed
    // distance that near(b, g) - upper(o) allows.
    for (uint64_t i = lo; i < hi; ++i)
        guess[i - lo] = owner.have_labels_ ? owner.split_.group_of[p.previous[i]] : 0;
    if (!owner.have_labels_) guess_by_centres();
    for (uint64_t g = 0; g < g_count; ++g) {
        members.clear();
        for (uint64_t i = lo; i < hi; ++i)
            if (guess[i - lo] == g) members.push_back(static_cast<uint32_t>(i - lo));
        evaluate_group(members, g);
    }
    for (uint64_t i = lo; i < hi; ++i) {
        const std::size_t r = static_cast<std::size_t>(i - lo);
        const uint32_t gg = guess[r];
        done[r] = uint32_t{1} << gg;
        open[r] = p.all_groups & ~done[r];
        const float o = first[r * g_count + gg];
        if (!(o < NEAREST_START)) continue;
        const float* nr = p.near.data() + first_index[r * g_count + gg] * g_count;
        const double u = owner.rounding_.upper_distance(o);
        for (uint64_t g = 0; g < g_count; ++g) {
            if (g == gg) continue;
            const double l = (static_cast<double>(nr[g]) - u) * (1.0 - SLACK);
            if (static_cast<double>(o) < owner.rounding_.lower_computed(l)) {
                open[r] &= ~(uint32_t{1} << g);
                low[r * g_count + g] = l;
            }
        }
    }
}

uint64_t BoundedAssignment::Chunk::evaluate_open() {
    // Rows with every group open, and every undecided row when the open
    // groups hold most of the lanes, go through all lanes in one kernel call
    // per block of rows; the others per group, a block of rows per call.
    uint64_t open_lanes = 0, undecided = 0;
    for (uint64_t i = lo; i < hi; ++i) {
        const std::size_t r = static_cast<std::size_t>(i - lo);
        if (decided[r]) continue;
        ++undecided;
        for (uint64_t g = 0; g < g_count; ++g)
            if ((open[r] | done[r]) >> g & 1)
                open_lanes += owner.split_.segment[g + 1] - owner.split_.segment[g];
    }
    const double all_lanes = static_cast<double>(undecided * p.table.width());
    const bool whole_chunk =
        owner.force_full_chunks_ || static_cast<double>(open_lanes) > FULL_CHUNK_SHARE * all_lanes;
    whole.clear();
    for (uint64_t i = lo; i < hi; ++i) {
        const std::size_t r = static_cast<std::size_t>(i - lo);
        if (decided[r]) continue;
        if (whole_chunk) open[r] = p.all_groups & ~done[r];
        if (open[r] == p.all_groups) whole.push_back(static_cast<uint32_t>(r));
    }
    evaluate(whole, 0, g_count);
    evals += whole.size() * owner.k_;
    for (uint64_t g = 0; g < g_count; ++g) {
        members.clear();
        for (uint64_t i = lo; i < hi; ++i) {
            const std::size_t r = static_cast<std::size_t>(i - lo);
            if ((open[r] >> g & 1) && open[r] != p.all_groups) members.push_back(static_cast<uint32_t>(r));
        }
        evaluate_group(members, g);
    }
    // Lanes to group sizes: padding lanes are few (groups are sized to
    // whole lane blocks), so this count of needed evaluations is close.
    return open_lanes;
}

void BoundedAssignment::Chunk::settle_rows() {
    for (uint64_t i = lo; i < hi; ++i)
        if (!decided[i - lo]) settle_row(i);
}

void BoundedAssignment::Chunk::settle_row(uint64_t i) {
    // The full-scan rule over the evaluated centroids (smallest value below
    // FLT_MAX, lowest index on ties, NaN never wins) plus a's own value;
    // every skipped centroid is strictly farther than owner. Then the new bounds.
    const std::size_t r = static_cast<std::size_t>(i - lo);
    const uint32_t a = p.previous[i];
    const bool own_counts = own_known[r] && own[r] < NEAREST_START;  // a NaN must not start the minimum
    float best = own_counts ? own[r] : std::numeric_limits<float>::infinity();
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
    uint16_t* lower = owner.lower_.data() + i * g_count;
    if (!(best < NEAREST_START)) {
        p.labels[i] = 0;  // no distance below FLT_MAX: label 0, never skipped
        owner.upper_[i] = std::numeric_limits<float>::infinity();
        for (uint64_t g = 0; g < g_count; ++g) lower[g] = 0;
        return;
    }
    p.labels[i] = best_index;
    owner.upper_[i] = round_up(owner.rounding_.upper_distance(best));
    for (uint64_t g = 0; g < g_count; ++g) {
        const std::size_t slot = r * g_count + g;
        if (evaluated_groups >> g & 1) {
            lower[g] = narrow_down(
                owner.rounding_.lower_distance(first_index[slot] == best_index ? second[slot] : first[slot]));
        } else {
            double l = low[slot];
            // a left its group's exclusion once it lost its label.
            if (own_known[r] && g == owner.split_.group_of[a] && best_index != a)
                l = std::min(l, owner.rounding_.lower_distance(own[r]));
            lower[g] = narrow_down(l);
        }
    }
}

uint64_t BoundedAssignment::Chunk::changed() const {
    uint64_t moved_rows = 0;
    for (uint64_t i = lo; i < hi; ++i) moved_rows += p.labels[i] != p.previous[i] ? 1 : 0;
    return moved_rows;
}

uint64_t BoundedAssignment::assign(const float* centroids, const uint32_t* previous, uint32_t* labels) {
    const uint64_t n = n_, k = k_;
    if (!groups_formed_) {
        split_ = group_centroids(centroids, k, d_, groups_);  // from the centroids of the first pass
        groups_formed_ = true;
    }
    Pass pass(*this, centroids, previous, labels);
    last_set_bounds_ = pass.scan_all;
    if (!pass.scan_all) pass.measure_drift(*this);
    const bool measured_gaps = pass.measure_gaps(*this);

    const std::size_t chunks = static_cast<std::size_t>((n + CHUNK_ROWS - 1) / CHUNK_ROWS);
    std::vector<uint64_t> evaluated(chunks, 0), needed(chunks, 0), changed(chunks, 0);
    parallel::parallel_for(chunks, 1, [&](std::size_t begin, std::size_t end) {
        Chunk chunk(*this, pass);
        for (std::size_t c = begin; c < end; ++c) {
            chunk.load(c * CHUNK_ROWS, std::min<uint64_t>(n, (c + 1) * CHUNK_ROWS));
            chunk.bound_rows();
            if (pass.scan_all && pass.use_near) chunk.guess_groups();
            needed[c] = chunk.evaluate_open();
            chunk.settle_rows();
            changed[c] = chunk.changed();
        }
        evaluated[begin] += chunk.evals;  // each range writes its own first slot
    });

    last_centroids_.assign(centroids, centroids + k * d_);
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
    if (measured_gaps) evaluated_ += k * k;  // the centroid-to-centroid minima
    return total_changed;
}

}  // namespace qor
