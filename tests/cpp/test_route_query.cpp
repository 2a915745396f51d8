// Router::route_query on hand-built states: ties broken by hit count, empty
// queries, scratch growth, missing ids and broken states.
#include <bit>
#include <memory>
#include <vector>

#include "check.hpp"
#include "common/errors.hpp"
#include "router/router.hpp"

using qor::QorRouterState;

namespace {

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
    for (int c = 0; c < 8; ++c) cb.cquant[c * 9] = 1.0f;
    cb.cindex_labels = {0, 0, 1, 1, 2, 2, 3, 3};
    cb.centroid_dists.assign(64, 0.0f);
    cb.idf.assign(8, 1.0f);
    s.ctop_r = 1;
    s.postings.lists.resize(4);
    s.postings.cluster_reps.resize(4);
    return s;
}

// Appends a document with these codes and C_top, posted under `posted`.
void add_doc(QorRouterState& s, std::vector<uint16_t> codes, std::vector<uint32_t> ctop,
             std::vector<uint32_t> posted, uint64_t id) {
    const auto d = static_cast<uint32_t>(s.doc_profiles.size());
    s.flat_codes.offsets.push_back(static_cast<uint32_t>(s.flat_codes.codes.size()));
    s.flat_codes.lengths.push_back(static_cast<uint16_t>(codes.size()));
    s.flat_codes.codes.insert(s.flat_codes.codes.end(), codes.begin(), codes.end());
    s.doc_profiles.push_back({std::vector<uint32_t>(codes.begin(), codes.end()), std::move(ctop)});
    s.doc_ids.push_back(id);
    for (const uint32_t c : posted) s.postings.lists[c].push_back(d);
}

// Query rows over the identity codebook: row j is e_{codes[j]}.
std::vector<float> rows(std::initializer_list<int> codes) {
    std::vector<float> q;
    for (const int c : codes) {
        q.resize(q.size() + 8, 0.0f);
        q[q.size() - 8 + c] = 1.0f;
    }
    return q;
}

qor::MatrixRef view(const std::vector<float>& q) {
    return qor::MatrixRef::contiguous(q.data(), q.size() / 8, 8);
}

// A router over identity_state() holding two documents with code 0, ids 1 and 2.
std::unique_ptr<qor::Router> two_doc_router(void (*change)(QorRouterState&) = nullptr) {
    QorRouterState s = identity_state();
    add_doc(s, {0}, {0}, {0}, 1);
    add_doc(s, {0, 1}, {0}, {0}, 2);
    if (change) change(s);
    auto r = std::make_unique<qor::Router>(8);
    r->install_loaded(std::move(s));
    return r;
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
    const auto res = r.route_query(view(rows({0, 2, 7})), 4, 500);  // C_top [0, 1, 3]
    std::vector<uint64_t> ids;
    for (const auto& e : res) {
        ids.push_back(e.doc_id);
        CHECK_EQ(std::bit_cast<uint32_t>(e.score), std::bit_cast<uint32_t>(res[0].score));
    }
    CHECK(ids == (std::vector<uint64_t>{101, 102, 100, 103}));
}

TEST(empty_query_and_empty_ctop) {
    // No cluster weight when every idf is zero: the query C_top is empty.
    const auto r = two_doc_router([](QorRouterState& s) { s.codebook.idf.assign(8, 0.0f); });
    CHECK(r->route_query(view({}), 4, 500).empty());
    CHECK(r->route_query(view(rows({0})), 4, 500).empty());
}

TEST(scratch_grows_to_fit_and_never_shrinks) {
    const auto r = two_doc_router();
    // Code-major: n_fine + 1 rows of the query row count rounded up to 16.
    CHECK_EQ(r->sim_scratch_size(), std::size_t{9 * qor::SCRATCH_QUERY_ROWS});
    std::vector<float> big(100 * 8, 0.0f);
    big[0] = 1.0f;
    r->route_query(view(big), 4, 500);
    CHECK_EQ(r->sim_scratch_size(), std::size_t{9 * 112});
    r->route_query(view(rows({0})), 4, 500);
    CHECK_EQ(r->sim_scratch_size(), std::size_t{9 * 112});
}

TEST(missing_id_fails_only_when_kept) {
    const auto r = two_doc_router([](QorRouterState& s) { s.doc_ids.pop_back(); });
    const auto kept = r->route_query(view(rows({0})), 4, 1);
    CHECK(kept.size() == 1 && kept[0].doc_id == 1);
    CHECK_THROWS(r->route_query(view(rows({0})), 4, 2), qor::InternalFailure, "router state is inconsistent");
}

TEST(broken_states_fail_without_reading_outside) {
    void (*const breaks[])(QorRouterState&) = {
        [](QorRouterState& s) { s.postings.lists[0].push_back(5); },  // posting index past the documents
        [](QorRouterState& s) { s.flat_codes.lengths[1] = 40; },      // code run past the codes
        [](QorRouterState& s) { s.flat_codes.offsets.pop_back(); },   // offsets missing
        [](QorRouterState& s) { s.codebook.cquant.resize(10); },      // cquant short
    };
    for (const auto b : breaks) {
        const auto r = two_doc_router(b);
        CHECK_THROWS(r->route_query(view(rows({0})), 4, 500), qor::InternalFailure, "");
    }
}

QORTEST_MAIN()
