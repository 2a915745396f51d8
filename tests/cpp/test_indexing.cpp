// Indexing (add_documents and the checks build shares) and the light query
// operations of the router, on hand-built states with an identity codebook.
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
using Codes = std::vector<uint32_t>;

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
    for (int c = 0; c < 4; ++c) cb.cquant[c * 5] = 1.0f;
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
std::vector<float> rows_for(const Codes& codes) {
    std::vector<float> m(codes.size() * DIM, 0.0f);
    for (std::size_t i = 0; i < codes.size(); ++i) m[i * DIM + codes[i]] = 1.0f;
    return m;
}

MatrixRef view(const std::vector<float>& m, uint64_t cols = DIM) {
    return MatrixRef::contiguous(m.data(), m.size() / cols, cols);
}

// A router holding the identity codebook and documents (ids 100, 101, ...)
// added by add_documents.
std::unique_ptr<Router> identity_router(const std::vector<Codes>& docs, std::size_t n_lists = 3,
                                        uint64_t ctop_r = 2) {
    auto r = std::make_unique<Router>(DIM);
    r->install_loaded(identity_state(n_lists, ctop_r));
    Codes all;
    std::vector<DocRange> ranges;
    std::vector<uint64_t> ids;
    for (const auto& d : docs) {
        ranges.emplace_back(all.size(), all.size() + d.size());
        all.insert(all.end(), d.begin(), d.end());
        ids.push_back(100 + ids.size());
    }
    r->add_documents(view(rows_for(all)), ids, ranges);
    return r;
}

}  // namespace

TEST(doc_ranges_accept_empty_overlapping_and_partial_cover) {
    qor::check_doc_ranges(std::vector<DocRange>{{5, 5}, {0, 10}, {5, 15}, {15, 15}, {0, 0}}, 15);
    const auto docs = qor::cut_documents(Codes{0, 1, 2, 3}, std::vector<DocRange>{{1, 3}, {2, 2}, {0, 4}});
    CHECK(docs == (std::vector<Codes>{{1, 2}, {}, {0, 1, 2, 3}}));
    // Cutting never reads past the codes, even if the ranges were not checked.
    CHECK_THROWS(qor::cut_documents(Codes(3), std::vector<DocRange>{{2, 5}}), InternalFailure,
                 "doc_offsets[0] = (2, 5)");
}

TEST(representation_limits) {
    const uint64_t big = qor::MAX_DOC_VECTORS;
    qor::check_index_limits(std::vector<DocRange>{{0, big}}, big, 0, 0);
    // A bad pair is left to the range check, whatever its length.
    qor::check_index_limits(std::vector<DocRange>{{0, big + 10}}, 5, 0, 0);
    CHECK_THROWS(qor::check_index_limits(std::vector<DocRange>{{0, 10}}, 10, 3, qor::MAX_TOTAL_CODES - 5),
                 InvalidInput,
                 "too many vectors in documents: 4294967290 indexed plus at least 10 new exceeds");
    qor::check_index_limits(std::vector<DocRange>{{0, 5}}, 10, 3, qor::MAX_TOTAL_CODES - 5);
    CHECK_THROWS(
        qor::check_index_limits(std::vector<DocRange>{{0, 0}, {0, 0}}, 10, qor::MAX_DOCUMENTS - 1, 0),
        InvalidInput, "too many documents: 4294967294 indexed plus 2 new exceeds the limit of 4294967295");
    qor::check_index_limits(std::vector<DocRange>{{0, 0}}, 10, qor::MAX_DOCUMENTS - 1, 0);
    qor::check_fine_limit(100000, 65536);
    qor::check_fine_limit(3, 1u << 30);
}

TEST(add_documents_continues_indices_and_keeps_first_representatives) {
    // Doc 0: codes {0, 0, 2} -> clusters 0 (2.0), 1 (1.0); doc 1: {2} -> [1].
    const auto r = identity_router({{0, 0, 2}, {2}});
    const QorRouterState* s = r->state();
    CHECK(s->doc_profiles[0].ctop == (Codes{0, 1}));
    CHECK(s->postings.lists[1] == (Codes{0, 1}));
    CHECK(s->postings.cluster_reps[1] == std::optional<uint32_t>(0));
    CHECK(!s->postings.cluster_reps[2].has_value());

    // A new document reaching cluster 2 for the first time becomes its representative.
    r->add_documents(view(rows_for({3, 3, 1, 2})), std::vector<uint64_t>{555, 556},
                     std::vector<DocRange>{{0, 3}, {3, 4}});
    s = r->state();
    CHECK(s->doc_ids == (std::vector<uint64_t>{100, 101, 555, 556}));
    CHECK(s->doc_profiles[2].centroid_ids == (Codes{3, 3, 1}));
    CHECK(s->doc_profiles[2].ctop == (Codes{2, 0}));
    CHECK(s->postings.lists == (std::vector<Codes>{{0, 2}, {0, 1, 3}, {2}}));
    CHECK(s->postings.cluster_reps[0] == std::optional<uint32_t>(0));
    CHECK(s->postings.cluster_reps[2] == std::optional<uint32_t>(2));
    CHECK(s->flat_codes.offsets == (Codes{0, 3, 4, 7}));
    CHECK(s->flat_codes.lengths == (std::vector<uint16_t>{3, 1, 3, 1}));
    CHECK(!qor::check_state_invariants(*s, true).has_value());
}

TEST(clusters_without_a_posting_list_are_skipped) {
    // One posting list only: clusters 1 and 2 never enter the postings.
    const auto r = identity_router({{2, 3}, {0}}, 1, 3);
    CHECK(r->state()->doc_profiles[0].ctop == (Codes{1, 2}));
    CHECK(r->state()->postings.lists == (std::vector<Codes>{{1}}));
    const auto none = identity_router({{0}}, 0, 3);
    CHECK(none->state()->postings.lists.empty());
    CHECK(none->state()->doc_profiles[0].ctop == (Codes{0}));
}

TEST(repeated_single_document_adds_match_one_batch) {
    const std::vector<Codes> docs = {{0, 1}, {2}, {3, 3, 0}, {}, {1, 2, 3}, {0, 1}};
    const auto batch = identity_router(docs);
    const auto one_by_one = identity_router({});
    for (std::size_t i = 0; i < docs.size(); ++i)
        one_by_one->add_documents(view(rows_for(docs[i])), std::vector<uint64_t>{100 + i},
                                  std::vector<DocRange>{{0, docs[i].size()}});
    CHECK(*batch->state() == *one_by_one->state());
}

TEST(query_profile_budget_is_max_of_probes_and_ctop_r) {
    const auto r = identity_router({{0}}, 3, 2);
    const auto q = rows_for({3, 2, 0, 2});  // clusters 2 (1), 1 (2), 0 (1)
    CHECK(r->compute_query_profile(view(q), 0).ctop == (Codes{1, 0}));
    CHECK(r->compute_query_profile(view(q), 10).ctop == (Codes{1, 0, 2}));
    CHECK(r->compute_query_profile(view(q), 10).centroid_ids == (Codes{3, 2, 0, 2}));
    const auto empty = r->compute_query_profile(MatrixRef::contiguous(nullptr, 0, DIM), 4);
    CHECK(empty.centroid_ids.empty() && empty.ctop.empty());
    const auto zero = identity_router({{0}}, 3, 0);
    CHECK(zero->compute_query_profile(view(q), 0).ctop.empty());
    CHECK(zero->compute_query_profile(view(q), 1).ctop == (Codes{1}));
}

TEST(cluster_entries_follow_ctop_with_duplicates_and_skips) {
    // Doc 0 {0, 2}: C_top [0, 1] -> represents clusters 0 and 1. Doc 1 {3}: cluster 2.
    const auto r = identity_router({{0, 2}, {3}}, 3, 2);
    const auto q = rows_for({0, 0, 0, 2, 2, 3});  // clusters 0 (3), 1 (2), 2 (1)
    CHECK(r->get_cluster_entries(view(q), 3) == (std::vector<uint64_t>{100, 100, 101}));
    CHECK(r->get_cluster_entries(view(q), 0) == (std::vector<uint64_t>{100, 100}));
    // Absent representative, cluster beyond the lists, representative without an id: skipped.
    QorRouterState s = *r->state();
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

TEST(cluster_overlaps_fail_at_the_first_document_without_an_id) {
    const auto r = identity_router({{3}, {0, 2, 3}, {}, {2, 2, 0}}, 3, 3);
    QorRouterState s = *r->state();
    s.doc_ids.resize(3);
    Router short_ids(DIM);
    short_ids.install_loaded(std::move(s));
    CHECK_THROWS(short_ids.query_cluster_overlaps(view(rows_for({2, 2, 0})), 4), InternalFailure,
                 "document 3 has no id: the router holds 3 ids for 4 documents");
}

QORTEST_MAIN()
