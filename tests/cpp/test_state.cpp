#include "check.hpp"
#include "router/state.hpp"

using qor::QorRouterState;

namespace {

// Two documents over a 4-centroid, 2-dim codebook with 3 coarse ids.
QorRouterState small_state() {
    QorRouterState s;
    s.codebook = {std::vector<float>(8, 0.5f), 4, 2, {0, 1, 1, 0}, 2, std::vector<float>(16, 0.0f),
                  std::vector<float>(4, 1.0f)};
    s.doc_profiles = {{{0, 1, 1}, {1, 0}}, {{3}, {0}}};
    s.doc_ids = {10, 20};
    s.postings.lists = {{0, 1}, {0}, {}};
    s.postings.cluster_reps = {0u, 0u, std::nullopt};
    s.ctop_r = 2;
    s.flat_codes = {{0, 1, 1, 3}, {0, 3}, {3, 1}};
    return s;
}

}  // namespace

// The sound state passes; each way of breaking it is refused with a
// description naming what is wrong.
TEST(each_broken_invariant_is_named) {
    CHECK(!qor::check_state_invariants(small_state(), true).has_value());
    struct Case {
        const char* expect;  // a word of the description
        void (*breaks)(QorRouterState&);
    };
    const Case cases[] = {
        {"cquant", [](QorRouterState& s) { s.codebook.cquant.pop_back(); }},
        {"cindex_labels", [](QorRouterState& s) { s.codebook.cindex_labels.pop_back(); }},
        {"idf", [](QorRouterState& s) { s.codebook.idf.push_back(1.0f); }},
        {"centroid_dists", [](QorRouterState& s) { s.codebook.centroid_dists.pop_back(); }},
        {"offsets", [](QorRouterState& s) { s.flat_codes.offsets[1] = 2; }},
        {"lengths", [](QorRouterState& s) { s.flat_codes.lengths.pop_back(); }},
        {"differs", [](QorRouterState& s) { s.flat_codes.codes[1] = 2; }},
        {"cover", [](QorRouterState& s) { s.flat_codes.codes.push_back(0); }},
        {"not below n_fine",
         [](QorRouterState& s) {
             s.doc_profiles[1].centroid_ids[0] = 4;
             s.flat_codes.codes[3] = 4;
         }},
        {"twice", [](QorRouterState& s) { s.doc_profiles[0].ctop = {1, 1}; }},
        {"more than ctop_r", [](QorRouterState& s) { s.ctop_r = 1; }},
        {"not below n_coarse", [](QorRouterState& s) { s.doc_profiles[1].ctop = {2}; }},
        {"cluster_reps", [](QorRouterState& s) { s.postings.cluster_reps.pop_back(); }},
        {"strictly increasing", [](QorRouterState& s) { s.postings.lists[0] = {1, 1}; }},
        {"not below the",
         [](QorRouterState& s) {
             s.postings.lists[2] = {2};
             s.postings.cluster_reps[2] = 2u;
         }},
        {"first posting", [](QorRouterState& s) { s.postings.cluster_reps[0] = 1u; }},
        {"is empty", [](QorRouterState& s) { s.postings.cluster_reps[2] = 1u; }},
    };
    for (const Case& c : cases) {
        QorRouterState s = small_state();
        c.breaks(s);
        auto err = qor::check_state_invariants(s, true);
        CHECK(err.has_value());
        if (err && err->find(c.expect) == std::string::npos)
            qortest::fail(__FILE__, __LINE__, "expected '" + std::string(c.expect) + "' in: " + *err);
    }
    // Allowed: a coarse label at or above n_coarse (top-cluster selection
    // skips it) and an absent representative beside a non-empty list.
    void (*const allowed[])(QorRouterState&) = {
        [](QorRouterState& s) { s.codebook.cindex_labels[2] = 2; },
        [](QorRouterState& s) { s.codebook.cindex_labels[0] = 0xFFFFFFFFu; },
        [](QorRouterState& s) { s.postings.cluster_reps[1] = std::nullopt; },
    };
    for (auto* allow : allowed) {
        QorRouterState s = small_state();
        allow(s);
        CHECK(!qor::check_state_invariants(s, true).has_value());
    }
    // One id per document is demanded only when asked for.
    QorRouterState s = small_state();
    s.doc_ids.pop_back();
    CHECK(!qor::check_state_invariants(s, false).has_value());
    CHECK(qor::check_state_invariants(s, true).has_value());
}

QORTEST_MAIN()
