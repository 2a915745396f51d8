// Indexing (build, add_documents) and the light query operations of the
// router, on hand-built states with an identity codebook and on real builds.
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "check.hpp"
#include "common/errors.hpp"
#include "router/indexing.hpp"
#include "router/router.hpp"

using qor::DocRange;
using qor::InternalFailure;
using qor::InvalidInput;
using qor::MatrixRef;
using qor::QorRouterState;
using qor::Router;

namespace {

constexpr uint64_t DIM = 4;

// Fine centroid c is the unit vector e_c, so a row e_c encodes to code c.
// Centroids 0 and 1 are coarse cluster 0, centroid 2 is cluster 1, centroid 3
// cluster 2; every idf is 1. No documents yet.
QorRouterState identity_state(std::size_t n_lists, uint64_t ctop_r) {
    QorRouterState s;
    auto& cb = s.codebook;
    cb.n_fine = 4;
    cb.dim = DIM;
    cb.n_coarse = 3;
    cb.cquant.assign(16, 0.0f);
    for (int c = 0; c < 4; ++c) cb.cquant[c * 4 + c] = 1.0f;
    cb.cindex_labels = {0, 0, 1, 2};
    cb.centroid_dists.assign(16, std::sqrt(2.0f));
    for (int c = 0; c < 4; ++c) cb.centroid_dists[c * 5] = 0.0f;
    cb.idf.assign(4, 1.0f);
    s.postings.lists.resize(n_lists);
    s.postings.cluster_reps.resize(n_lists);
    s.ctop_r = ctop_r;
    return s;
}

// Rows e_code for each code, row-major.
std::vector<float> rows_for(const std::vector<uint32_t>& codes, uint64_t dim = DIM) {
    std::vector<float> m(codes.size() * dim, 0.0f);
    for (std::size_t i = 0; i < codes.size(); ++i) m[i * dim + codes[i]] = 1.0f;
    return m;
}

MatrixRef view(const std::vector<float>& m, uint64_t cols = DIM) {
    return MatrixRef::contiguous(m.data(), cols == 0 ? 0 : m.size() / cols, cols);
}

// A router holding the identity codebook and documents added by add_documents.
std::unique_ptr<Router> identity_router(const std::vector<std::vector<uint32_t>>& docs, std::size_t n_lists = 3,
                                        uint64_t ctop_r = 2) {
    auto router = std::make_unique<Router>(DIM);
    Router& r = *router;
    r.install_loaded(identity_state(n_lists, ctop_r));
    std::vector<uint32_t> all;
    std::vector<DocRange> ranges;
    std::vector<uint64_t> ids;
    for (const auto& d : docs) {
        ranges.emplace_back(all.size(), all.size() + d.size());
        all.insert(all.end(), d.begin(), d.end());
        ids.push_back(100 + ids.size());
    }
    const auto m = rows_for(all);
    r.add_documents(view(m), ids, ranges);
    return router;
}

// Clustered pseudo-random vectors from a fixed linear congruential stream.
std::vector<float> clustered(uint64_t rows, uint64_t dim, uint64_t seed) {
    uint64_t x = seed * 6364136223846793005ull + 1442695040888963407ull;
    auto next = [&x] {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<float>((x >> 40) & 0xFFFFFF) / 16777216.0f - 0.5f;
    };
    std::vector<float> centres(8 * dim);
    for (float& v : centres) v = next() * 4.0f;
    std::vector<float> m(rows * dim);
    for (uint64_t i = 0; i < rows; ++i)
        for (uint64_t k = 0; k < dim; ++k) m[i * dim + k] = centres[(i % 8) * dim + k] + next();
    return m;
}

std::vector<DocRange> even_ranges(uint64_t rows, uint64_t per_doc) {
    std::vector<DocRange> r;
    for (uint64_t s = 0; s + per_doc <= rows; s += per_doc) r.emplace_back(s, s + per_doc);
    return r;
}

std::vector<uint64_t> ids_for(std::size_t n) {
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = 1000 + 7 * i;
    return ids;
}

}  // namespace

// ---------------------------------------------------------------- checks

TEST(doc_ranges_accept_empty_overlapping_and_partial_cover) {
    const std::vector<DocRange> ok = {{5, 5}, {0, 10}, {5, 15}, {15, 15}, {0, 0}};
    qor::check_doc_ranges(ok, 15);
    const auto docs = qor::cut_documents(std::vector<uint32_t>{0, 1, 2, 3}, std::vector<DocRange>{{1, 3}, {2, 2}, {0, 4}});
    CHECK_EQ(docs.size(), 3u);
    CHECK(docs[0] == (std::vector<uint32_t>{1, 2}));
    CHECK(docs[1].empty());
    CHECK(docs[2] == (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST(bad_doc_ranges_are_internal_failures) {
    CHECK_THROWS(qor::check_doc_ranges(std::vector<DocRange>{{0, 1}, {3, 200}}, 100), InternalFailure,
                 "doc_offsets[1] = (3, 200) is not a row range of the 100-row matrix");
    CHECK_THROWS(qor::check_doc_ranges(std::vector<DocRange>{{4, 2}}, 100), InternalFailure, "doc_offsets[0] = (4, 2)");
    CHECK_THROWS(qor::cut_documents(std::vector<uint32_t>(3), std::vector<DocRange>{{2, 5}}), InternalFailure,
                 "doc_offsets[0] = (2, 5)");
}

TEST(representation_limits) {
    const uint64_t big = qor::MAX_DOC_VECTORS;
    qor::check_index_limits(std::vector<DocRange>{{0, big}}, big, 0, 0);
    CHECK_THROWS(qor::check_index_limits(std::vector<DocRange>{{0, 1}, {0, big + 1}}, big + 1, 0, 0), InvalidInput,
                 "document 1 has 65536 vectors; at most 65535 vectors per document are supported");
    // A bad pair is left to the range check, whatever its length.
    qor::check_index_limits(std::vector<DocRange>{{0, big + 10}}, 5, 0, 0);
    CHECK_THROWS(qor::check_index_limits(std::vector<DocRange>{{0, 10}}, 10, 3, qor::MAX_TOTAL_CODES - 5),
                 InvalidInput, "too many vectors in documents: 4294967290 indexed plus at least 10 new exceeds");
    qor::check_index_limits(std::vector<DocRange>{{0, 5}}, 10, 3, qor::MAX_TOTAL_CODES - 5);
    CHECK_THROWS(qor::check_index_limits(std::vector<DocRange>{{0, 0}, {0, 0}}, 10, qor::MAX_DOCUMENTS - 1, 0),
                 InvalidInput, "too many documents: 4294967294 indexed plus 2 new exceeds the limit of 4294967295");
    qor::check_index_limits(std::vector<DocRange>{{0, 0}}, 10, qor::MAX_DOCUMENTS - 1, 0);
    qor::check_fine_limit(100000, 65536);
    qor::check_fine_limit(3, 1u << 30);
    CHECK_THROWS(qor::check_fine_limit(100000, 65537), InvalidInput,
                 "n_fine 65537 over 100000 rows gives 65537 fine centroids; at most 65536 are supported");
}

// ------------------------------------------------- add_documents by hand

TEST(add_documents_continues_indices_and_keeps_first_representatives) {
    // Doc 0: codes {0, 0, 2} -> clusters 0 (2.0), 1 (1.0); doc 1: {2} -> [1].
    const auto r_owner = identity_router({{0, 0, 2}, {2}});
    Router& r = *r_owner;
    const QorRouterState* s = r.state();
    CHECK(s->doc_profiles[0].ctop == (std::vector<uint32_t>{0, 1}));
    CHECK(s->postings.lists[1] == (std::vector<uint32_t>{0, 1}));
    CHECK(s->postings.cluster_reps[1] == std::optional<uint32_t>(0));
    CHECK(!s->postings.cluster_reps[2].has_value());

    // A new document reaching cluster 2 for the first time becomes its representative.
    const auto m = rows_for({3, 3, 1, 2});
    r.add_documents(view(m), std::vector<uint64_t>{555, 556}, std::vector<DocRange>{{0, 3}, {3, 4}});
    s = r.state();
    CHECK_EQ(r.n_docs(), 4u);
    CHECK(s->doc_ids == (std::vector<uint64_t>{100, 101, 555, 556}));
    CHECK(s->doc_profiles[2].centroid_ids == (std::vector<uint32_t>{3, 3, 1}));
    CHECK(s->doc_profiles[2].ctop == (std::vector<uint32_t>{2, 0}));
    CHECK(s->postings.lists[2] == (std::vector<uint32_t>{2}));
    CHECK(s->postings.cluster_reps[2] == std::optional<uint32_t>(2));
    CHECK(s->postings.lists[0] == (std::vector<uint32_t>{0, 2}));
    CHECK(s->postings.cluster_reps[0] == std::optional<uint32_t>(0));
    CHECK(s->postings.lists[1] == (std::vector<uint32_t>{0, 1, 3}));
    CHECK(s->flat_codes.offsets == (std::vector<uint32_t>{0, 3, 4, 7}));
    CHECK(s->flat_codes.lengths == (std::vector<uint16_t>{3, 1, 3, 1}));
    CHECK(!qor::check_state_invariants(*s, true).has_value());
}

TEST(clusters_without_a_posting_list_are_skipped) {
    // One posting list only: cluster 1 and 2 never enter the postings.
    const auto r_owner = identity_router({{2, 3}, {0}}, 1, 3);
    Router& r = *r_owner;
    const QorRouterState* s = r.state();
    CHECK(s->doc_profiles[0].ctop == (std::vector<uint32_t>{1, 2}));
    CHECK_EQ(s->postings.lists.size(), 1u);
    CHECK(s->postings.lists[0] == (std::vector<uint32_t>{1}));
    // No posting lists at all.
    const auto none_owner = identity_router({{0}}, 0, 3);
    Router& none = *none_owner;
    CHECK(none.state()->postings.lists.empty());
    CHECK(none.state()->doc_profiles[0].ctop == (std::vector<uint32_t>{0}));
}

TEST(failed_add_documents_leaves_the_router_unchanged) {
    const auto r_owner = identity_router({{0, 2}, {3}});
    Router& r = *r_owner;
    const QorRouterState before = *r.state();
    const auto m = rows_for({0, 1, 2});
    // A bad pair after good ones appends nothing.
    CHECK_THROWS(r.add_documents(view(m), std::vector<uint64_t>{1, 2}, std::vector<DocRange>{{0, 1}, {2, 5}}),
                 InternalFailure, "doc_offsets[1] = (2, 5) is not a row range of the 3-row matrix");
    CHECK_THROWS(r.add_documents(view(m), std::vector<uint64_t>{1}, std::vector<DocRange>{{2, 1}}), InternalFailure,
                 "doc_offsets[0] = (2, 1)");
    // Ids must match the pairs, also when there are no pairs.
    CHECK_THROWS(r.add_documents(view(m), std::vector<uint64_t>{1, 2}, std::vector<DocRange>{}), InvalidInput,
                 "doc_ids has 2 entries but doc_offsets has 0 (start, end) pairs; pass one id per document");
    const std::vector<float> wide(10, 0.0f);
    CHECK_THROWS(r.add_documents(view(wide, 5), std::vector<uint64_t>{1}, std::vector<DocRange>{{0, 1}}), InvalidInput,
                 "dimension mismatch: expected 4, got 5");
    CHECK(*r.state() == before);
    // An empty call is a no-op that succeeds.
    r.add_documents(view(m), std::vector<uint64_t>{}, std::vector<DocRange>{});
    CHECK(*r.state() == before);
}

TEST(repeated_single_document_adds_match_one_batch) {
    const std::vector<std::vector<uint32_t>> docs = {{0, 1}, {2}, {3, 3, 0}, {}, {1, 2, 3}, {0, 1}};
    const auto batch_owner = identity_router(docs);
    Router& batch = *batch_owner;
    const auto one_by_one_owner = identity_router({});
    Router& one_by_one = *one_by_one_owner;
    for (std::size_t i = 0; i < docs.size(); ++i) {
        const auto m = rows_for(docs[i]);
        one_by_one.add_documents(view(m), std::vector<uint64_t>{100 + i}, std::vector<DocRange>{{0, docs[i].size()}});
    }
    CHECK(*batch.state() == *one_by_one.state());
    CHECK(!qor::check_state_invariants(*batch.state(), true).has_value());
}

TEST(add_documents_needs_a_state) {
    Router r(DIM);
    const std::vector<float> wide(10, 0.0f);
    CHECK_THROWS(r.add_documents(view(wide, 5), std::vector<uint64_t>{}, std::vector<DocRange>{}), InvalidInput,
                 "router not built yet; call build() first");
}

// -------------------------------------------------------- query methods

TEST(query_profile_budget_is_max_of_probes_and_ctop_r) {
    const auto r_owner = identity_router({{0}}, 3, 2);
    Router& r = *r_owner;
    const auto q = rows_for({3, 2, 0, 2});  // clusters 2 (1), 1 (2), 0 (1)
    CHECK(r.compute_query_profile(view(q), 0).ctop == (std::vector<uint32_t>{1, 0}));
    CHECK(r.compute_query_profile(view(q), 10).ctop == (std::vector<uint32_t>{1, 0, 2}));
    CHECK(r.compute_query_profile(view(q), 10).centroid_ids == (std::vector<uint32_t>{3, 2, 0, 2}));
    const auto empty = r.compute_query_profile(MatrixRef::contiguous(nullptr, 0, DIM), 4);
    CHECK(empty.centroid_ids.empty() && empty.ctop.empty());
    const auto zero_owner = identity_router({{0}}, 3, 0);
    Router& zero = *zero_owner;
    CHECK(zero.compute_query_profile(view(q), 0).ctop.empty());
    CHECK(zero.compute_query_profile(view(q), 1).ctop == (std::vector<uint32_t>{1}));
}

TEST(cluster_entries_follow_ctop_with_duplicates_and_skips) {
    // Doc 0 {0, 2}: C_top [0, 1] -> represents clusters 0 and 1. Doc 1 {3}: cluster 2.
    const auto r_owner = identity_router({{0, 2}, {3}}, 3, 2);
    Router& r = *r_owner;
    const auto q = rows_for({0, 0, 0, 2, 2, 3});  // clusters 0 (3), 1 (2), 2 (1)
    CHECK(r.get_cluster_entries(view(q), 3) == (std::vector<uint64_t>{100, 100, 101}));
    CHECK(r.get_cluster_entries(view(q), 0) == (std::vector<uint64_t>{100, 100}));
    // Absent representative, cluster beyond the lists, representative without an id: skipped.
    QorRouterState s = *r.state();
    s.postings.cluster_reps[1].reset();
    s.postings.lists[1].clear();
    s.postings.lists.resize(2);
    s.postings.cluster_reps.resize(2);
    Router skip(DIM);
    skip.install_loaded(QorRouterState(s));
    CHECK(skip.get_cluster_entries(view(q), 3) == (std::vector<uint64_t>{100}));
    s.doc_ids.clear();
    skip.install_loaded(std::move(s));
    CHECK(skip.get_cluster_entries(view(q), 3).empty());
}

TEST(cluster_overlaps_list_every_document_in_index_order) {
    const auto r_owner = identity_router({{3}, {0, 2, 3}, {}, {2, 2, 0}}, 3, 3);
    Router& r = *r_owner;
    const auto q = rows_for({2, 2, 0});  // C_top [1, 0]
    const auto o = r.query_cluster_overlaps(view(q), 4);
    CHECK_EQ(o.size(), 4u);
    const uint64_t expect[4] = {0, 2, 0, 2};
    for (uint64_t d = 0; d < 4; ++d) {
        CHECK_EQ(o[d].doc_id, 100 + d);
        CHECK_EQ(o[d].overlap, expect[d]);
    }
    for (const auto& e : r.query_cluster_overlaps(MatrixRef::contiguous(nullptr, 0, DIM), 4)) CHECK_EQ(e.overlap, 0u);
    // Fewer ids than documents: fails at the first document without an id.
    QorRouterState s = *r.state();
    s.doc_ids.resize(3);
    Router short_ids(DIM);
    short_ids.install_loaded(std::move(s));
    CHECK_THROWS(short_ids.query_cluster_overlaps(view(q), 4), InternalFailure,
                 "document 3 has no id: the router holds 3 ids for 4 documents");
}

// ----------------------------------------------------------- real builds

TEST(build_refuses_fewer_than_two_rows_and_keeps_the_old_state) {
    const auto r_owner = identity_router({{0, 1}});
    Router& r = *r_owner;
    const QorRouterState before = *r.state();
    const std::vector<float> one_row(DIM, 1.0f);
    CHECK_THROWS(r.build(view(one_row), std::vector<uint64_t>{1}, std::vector<DocRange>{{0, 1}}, 4, 2, 5, 1),
                 InternalFailure, "codebook shape mismatch");
    CHECK_THROWS(r.build(MatrixRef::contiguous(nullptr, 0, DIM), {}, {}, 4, 2, 5, 1), InternalFailure,
                 "codebook shape mismatch");
    CHECK(*r.state() == before);
    CHECK_EQ(r.sim_scratch_size(), 4u * qor::SCRATCH_QUERY_ROWS);
    Router zero_cols(0);
    CHECK_THROWS(zero_cols.build(MatrixRef::contiguous(nullptr, 1, 0), std::vector<uint64_t>{1},
                                 std::vector<DocRange>{{0, 1}}, 4, 2, 5, 1),
                 InternalFailure, "codebook shape mismatch");
    CHECK(!zero_cols.is_ready());
}

TEST(build_clamps_codebook_counts_but_keeps_requested_list_count) {
    const auto m = clustered(20, 8, 1);
    Router r(8);
    struct Case {
        uint64_t n_coarse, trained, lists;
    };
    for (const Case c : {Case{32, 10, 32}, Case{200, 10, 200}, Case{1, 2, 1}, Case{0, 2, 0}}) {
        r.build(view(m, 8), ids_for(5), even_ranges(20, 4), 256, c.n_coarse, 10, 3);
        const QorRouterState* s = r.state();
        CHECK_EQ(r.n_fine(), 20u);
        CHECK_EQ(r.n_coarse(), c.trained);
        CHECK_EQ(s->postings.lists.size(), c.lists);
        CHECK_EQ(s->postings.cluster_reps.size(), c.lists);
        for (std::size_t k = c.trained; k < c.lists; ++k) CHECK(s->postings.lists[k].empty());
        CHECK(!qor::check_state_invariants(*s, true).has_value());
    }
}

TEST(build_with_empty_overlapping_pairs_and_ctop_r_zero) {
    const auto m = clustered(40, 6, 2);
    Router r(6);
    const std::vector<DocRange> ranges = {{0, 10}, {5, 15}, {5, 5}, {30, 40}};
    r.build(view(m, 6), ids_for(4), ranges, 16, 4, 10, 2);
    const QorRouterState* s = r.state();
    CHECK(s->flat_codes.offsets == (std::vector<uint32_t>{0, 10, 20, 20}));
    CHECK(s->flat_codes.lengths == (std::vector<uint16_t>{10, 10, 0, 10}));
    CHECK(s->doc_profiles[2].ctop.empty());
    for (int i = 0; i < 5; ++i) CHECK_EQ(s->doc_profiles[0].centroid_ids[5 + i], s->doc_profiles[1].centroid_ids[i]);
    CHECK_EQ(r.sim_scratch_size(), 16u * qor::SCRATCH_QUERY_ROWS);

    r.build(view(m, 6), ids_for(4), ranges, 16, 4, 10, 0);
    s = r.state();
    CHECK_EQ(s->ctop_r, 0u);
    for (const auto& p : s->doc_profiles) CHECK(p.ctop.empty());
    for (const auto& l : s->postings.lists) CHECK(l.empty());

    r.build(view(m, 6), {}, {}, 16, 4, 10, 3);
    CHECK(r.is_ready());
    CHECK_EQ(r.n_docs(), 0u);
    for (float w : r.state()->codebook.idf) CHECK_EQ(w, std::log(2.0f));
}

QORTEST_MAIN()
