// Router::route_query end to end on hand-built states: ties broken by hit
// count, scratch growth, missing ids, broken states, and agreement with a
// plain reference pipeline for any number of worker threads.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "check.hpp"
#include "codebook/encode.hpp"
#include "common/errors.hpp"
#include "parallel/thread_pool.hpp"
#include "router/blas.hpp"
#include "router/router.hpp"

using qor::QorRouterState;

namespace {


uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

// An identity codebook of 8 centroids in 8 dimensions, so S[j][c] is
// exactly query[j][c], and a query row's code is its largest component.
// Centroid pairs share a coarse cluster: code c lies in cluster c / 2.
QorRouterState identity_state() {
    QorRouterState s;
    auto& cb = s.codebook;
    cb.n_fine = 8;
    cb.dim = 8;
    cb.n_coarse = 4;
    cb.cquant.assign(64, 0.0f);
    for (int c = 0; c < 8; ++c) cb.cquant[c * 8 + c] = 1.0f;
    cb.cindex_labels = {0, 0, 1, 1, 2, 2, 3, 3};
    cb.centroid_dists.assign(64, 0.0f);
    cb.idf.assign(8, 1.0f);
    s.ctop_r = 1;
    s.postings.lists.resize(4);
    s.postings.cluster_reps.resize(4);
    return s;
}

// Appends a document with these codes and C_top, posted under `posted`.
void add_doc(QorRouterState& s, std::vector<uint16_t> codes, std::vector<uint32_t> ctop, std::vector<uint32_t> posted,
             uint64_t id) {
    const auto d = static_cast<uint32_t>(s.doc_profiles.size());
    s.flat_codes.offsets.push_back(static_cast<uint32_t>(s.flat_codes.codes.size()));
    s.flat_codes.lengths.push_back(static_cast<uint16_t>(codes.size()));
    s.flat_codes.codes.insert(s.flat_codes.codes.end(), codes.begin(), codes.end());
    s.doc_profiles.push_back({std::vector<uint32_t>(codes.begin(), codes.end()), std::move(ctop)});
    s.doc_ids.push_back(id);
    for (const uint32_t c : posted) s.postings.lists[c].push_back(d);
}

// Query rows over the identity codebook: each row is a list of (column, value).
std::vector<float> rows(std::initializer_list<std::vector<std::pair<int, float>>> spec) {
    std::vector<float> q;
    for (const auto& row : spec) {
        std::vector<float> r(8, 0.0f);
        for (auto [c, v] : row) r[c] = v;
        q.insert(q.end(), r.begin(), r.end());
    }
    return q;
}

qor::MatrixRef view(const std::vector<float>& q, uint64_t cols = 8) {
    return qor::MatrixRef::contiguous(q.data(), q.size() / cols, cols);
}

std::vector<uint64_t> ids_of(const std::vector<qor::ScoredDoc>& r) {
    std::vector<uint64_t> ids;
    for (const auto& s : r) ids.push_back(s.doc_id);
    return ids;
}

}  // namespace

TEST(tie_orders_hits_then_index) {
    // Identical codes and C_tops: equal scores. Document 1 is under three
    // probed clusters (3 hits), 2 under two, 0 and 3 under one each.
    QorRouterState s = identity_state();
    add_doc(s, {2}, {}, {0}, 100);
    add_doc(s, {2}, {}, {0, 1, 3}, 101);
    add_doc(s, {2}, {}, {0, 1}, 102);
    add_doc(s, {2}, {}, {0}, 103);
    qor::Router r(8);
    r.install_loaded(std::move(s));
    // Codes 0, 2 and 7: C_top [0, 1, 3].
    const auto q = rows({{{0, 1.0f}}, {{2, 1.0f}}, {{7, 1.0f}}});
    const auto res = r.route_query(view(q), 4, 500);
    CHECK(ids_of(res) == (std::vector<uint64_t>{101, 102, 100, 103}));
    for (const auto& e : res) CHECK_EQ(bits(e.score), bits(res[0].score));
}

TEST(empty_query_and_empty_ctop) {
    QorRouterState s = identity_state();
    add_doc(s, {0}, {0}, {0}, 1);
    s.codebook.idf.assign(8, 0.0f);  // every code in every document: no cluster weight
    qor::Router r(8);
    r.install_loaded(std::move(s));
    const std::vector<float> no_rows;
    CHECK(r.route_query(view(no_rows), 4, 500).empty());
    const auto q = rows({{{0, 1.0f}}});
    CHECK(r.route_query(view(q), 4, 500).empty());
}

TEST(scratch_grows_to_fit_and_never_shrinks) {
    QorRouterState s = identity_state();
    add_doc(s, {0}, {0}, {0}, 1);
    qor::Router r(8);
    r.install_loaded(std::move(s));
    const std::size_t initial = r.sim_scratch_size();
    CHECK_EQ(initial, std::size_t{8 * qor::SCRATCH_QUERY_ROWS});
    std::vector<float> big(100 * 8, 0.0f);
    big[0] = 1.0f;
    r.route_query(view(big), 4, 500);
    CHECK_EQ(r.sim_scratch_size(), std::size_t{100 * 8});
    r.route_query(view(rows({{{0, 1.0f}}})), 4, 500);
    CHECK_EQ(r.sim_scratch_size(), std::size_t{100 * 8});
}

TEST(missing_id_fails_only_when_kept) {
    QorRouterState s = identity_state();
    add_doc(s, {0}, {0}, {0}, 1);
    add_doc(s, {0}, {0}, {0}, 2);
    s.doc_ids.pop_back();  // document 1 has no id
    qor::Router r(8);
    r.install_loaded(std::move(s));
    const auto q = rows({{{0, 1.0f}}});
    CHECK(ids_of(r.route_query(view(q), 4, 1)) == (std::vector<uint64_t>{1}));
    CHECK_THROWS(r.route_query(view(q), 4, 2), qor::InternalFailure, "router state is inconsistent");
}

TEST(broken_states_fail_without_reading_outside) {
    const auto q = rows({{{0, 1.0f}}});
    struct Case {
        const char* what;
        void (*breaks)(QorRouterState&);
    };
    const Case cases[] = {
        {"posting index past the documents", [](QorRouterState& s) { s.postings.lists[0].push_back(5); }},
        {"code run past the codes", [](QorRouterState& s) { s.flat_codes.lengths[1] = 40; }},
        {"offsets missing", [](QorRouterState& s) { s.flat_codes.offsets.pop_back(); }},
        {"cquant short", [](QorRouterState& s) { s.codebook.cquant.resize(10); }},
    };
    for (const Case& c : cases) {
        QorRouterState s = identity_state();
        add_doc(s, {0}, {0}, {0}, 1);
        add_doc(s, {0, 1}, {0}, {0}, 2);
        c.breaks(s);
        qor::Router r(8);
        r.install_loaded(std::move(s));
        bool failed = false;
        try {
            r.route_query(view(q), 4, 500);
        } catch (const qor::InternalFailure&) {
            failed = true;
        }
        if (!failed) std::fprintf(stderr, "no failure for: %s\n", c.what);
        CHECK(failed);
    }
}

namespace {

// A random state with unit centroids, C_tops of up to 3 clusters and
// posting lists that agree with them.
QorRouterState random_state(uint64_t n_docs, uint64_t n_fine, uint64_t dim, uint64_t n_coarse, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    QorRouterState s;
    auto& cb = s.codebook;
    cb.n_fine = n_fine;
    cb.dim = dim;
    cb.n_coarse = n_coarse;
    cb.cquant.resize(n_fine * dim);
    for (uint64_t c = 0; c < n_fine; ++c) {
        float norm = 0.0f;
        for (uint64_t t = 0; t < dim; ++t) norm += (cb.cquant[c * dim + t] = normal(rng)) * cb.cquant[c * dim + t];
        for (uint64_t t = 0; t < dim; ++t) cb.cquant[c * dim + t] /= std::sqrt(norm);
        cb.cindex_labels.push_back(static_cast<uint32_t>(c % n_coarse));
        cb.idf.push_back(0.5f + static_cast<float>(c % 5));
    }
    cb.centroid_dists.assign(n_fine * n_fine, 0.0f);
    s.ctop_r = 3;
    s.postings.lists.resize(n_coarse);
    s.postings.cluster_reps.resize(n_coarse);
    std::uniform_int_distribution<uint32_t> code(0, static_cast<uint32_t>(n_fine - 1));
    std::uniform_int_distribution<int> len(0, 40);
    for (uint64_t d = 0; d < n_docs; ++d) {
        std::vector<uint16_t> codes(static_cast<std::size_t>(len(rng)));
        for (auto& c : codes) c = static_cast<uint16_t>(code(rng));
        const std::vector<uint32_t> ids(codes.begin(), codes.end());
        const std::vector<uint32_t> ctop = qor::top_coarse_clusters(cb, ids, 3);
        add_doc(s, codes, ctop, ctop, 7 * d + 3);
    }
    return s;
}

// route_query written out plainly: map of hits, row-major proxy_distance,
// stable sort.
std::vector<qor::ScoredDoc> reference_route(const QorRouterState& s, const std::vector<float>& q, uint64_t n_rows,
                                            const std::vector<uint32_t>& ctop, uint64_t keep) {
    std::map<uint32_t, uint32_t> hits;
    for (const uint32_t c : ctop)
        if (c < s.postings.lists.size())
            for (const uint32_t d : s.postings.lists[c]) ++hits[d];
    std::vector<std::pair<uint32_t, uint32_t>> cand(hits.begin(), hits.end());
    std::stable_sort(cand.begin(), cand.end(), [](auto a, auto b) { return a.second > b.second; });
    std::vector<float> sims(n_rows * s.codebook.n_fine);
    qor::sgemm_abt(q.data(), n_rows, s.codebook.cquant.data(), s.codebook.n_fine, s.codebook.dim, sims.data());
    std::vector<qor::ScoredDoc> out;
    for (auto [d, h] : cand) {
        (void)h;
        const auto& f = s.flat_codes;
        const std::span<const uint16_t> codes(f.codes.data() + f.offsets[d], f.lengths[d]);
        const float w = qor::proxy_distance(sims, n_rows, s.codebook.n_fine, codes);
        uint64_t overlap = 0;
        for (const uint32_t c : ctop)
            overlap += std::count(s.doc_profiles[d].ctop.begin(), s.doc_profiles[d].ctop.end(), c) > 0;
        const float frac = static_cast<float>(overlap) / static_cast<float>(std::max<std::size_t>(ctop.size(), 1));
        out.push_back({s.doc_ids[d], frac * 0.2f + 1.0f / (w + 1.0f)});
    }
    std::stable_sort(out.begin(), out.end(), [](auto a, auto b) { return a.score > b.score; });
    if (out.size() > keep) out.resize(keep);
    return out;
}

}  // namespace

TEST(matches_reference_for_any_worker_count) {
    const uint64_t dim = 24, n_fine = 96;
    QorRouterState s = random_state(4000, n_fine, dim, 8, 21);
    const QorRouterState copy = s;
    qor::Router r(dim);
    r.install_loaded(std::move(s));
    std::mt19937 rng(4);
    std::normal_distribution<float> normal;
    for (const uint64_t n_rows : {uint64_t{1}, uint64_t{5}, uint64_t{32}, uint64_t{70}}) {
        std::vector<float> q(n_rows * dim);
        for (float& v : q) v = normal(rng);
        const auto profile = r.compute_query_profile(view(q, dim), 4);
        const auto want = reference_route(copy, q, n_rows, profile.ctop, 300);
        CHECK(!want.empty());
        for (const std::size_t threads : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
            qor::parallel::ThreadPool pool(threads);
            qor::parallel::ScopedPool scope(pool);
            const auto got = r.route_query(view(q, dim), 4, 300);
            CHECK_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) {
                CHECK_EQ(got[i].doc_id, want[i].doc_id);
                CHECK_EQ(bits(got[i].score), bits(want[i].score));
            }
        }
    }
}

QORTEST_MAIN()
