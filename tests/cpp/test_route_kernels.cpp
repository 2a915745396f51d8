// Routing pieces against plain references: the code-major proxy kernels
// (bit for bit against proxy_distance), the score formula, ranking, hit
// counting and candidate order.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "codebook/proxy_distance.hpp"
#include "common/errors.hpp"
#include "router/candidates.hpp"
#include "router/scoring.hpp"

namespace {

const float INF = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float x) {
    return std::bit_cast<uint32_t>(x);
}

// The kernels this processor and build can run.
std::vector<qor::ProxyKernel> kernels() {
    using qor::parallel::Isa;
    std::vector<qor::ProxyKernel> ks{&qor::proxy_distances_code_major_scalar};
    for (const Isa isa : {Isa::Avx2, Isa::Avx512})
        if (qor::parallel::isa_supported(isa)) ks.push_back(qor::proxy_kernel_for(isa));
    return ks;
}

// The kernel over a batch of one document.
float one(qor::ProxyKernel k, const qor::CodeMajorSims& cm, const uint16_t* codes, std::size_t n) {
    const qor::DocCodes doc{codes, n};
    float w = 0.0f;
    k(cm.data.data(), cm.stride, cm.q, cm.n_fine, &doc, 1, &w);
    return w;
}

}  // namespace

TEST(kernels_match_proxy_distance_bit_for_bit) {
    // Similarities from a small pool, so that ties, both zero signs, NaN and
    // infinities occur often; huge values make row sums overflow, so
    // -inf + inf = NaN sums occur too.
    const float pool[] = {0.5f, -0.5f, 0.0f, -0.0f,  0.25f, 1.0f,  -1.0f,
                          NaN,  INF,   -INF, 0.125f, 3e38f, -3e38f};
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick_value(0, 17);
    std::uniform_int_distribution<std::size_t> length(0, 70);
    // Query counts around the vector widths and row blocks of every kernel.
    for (const qor::ProxyKernel k : kernels())
        for (const uint64_t q : {0, 1, 7, 8, 9, 16, 17, 33, 64, 65, 130})
            for (const uint64_t h : {1, 5, 256}) {
                std::vector<float> sims(q * h);
                for (float& v : sims) {
                    const int i = pick_value(rng);
                    v = i < 13 ? pool[i] : std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
                }
                const qor::CodeMajorSims cm = qor::to_code_major(sims.data(), q, h);
                // 19 documents (not a multiple of any group size), empty ones
                // included; mostly valid codes, repeats, some >= h.
                std::vector<std::vector<uint16_t>> codes(19);
                std::uniform_int_distribution<uint32_t> pick(0, static_cast<uint32_t>(h + h / 4 + 1));
                std::vector<qor::DocCodes> docs;
                for (std::size_t d = 0; d < codes.size(); ++d) {
                    codes[d].resize(d % 7 == 3 ? 0 : length(rng));
                    for (uint16_t& c : codes[d]) c = static_cast<uint16_t>(pick(rng));
                    docs.push_back({codes[d].data(), codes[d].size()});
                }
                for (const std::size_t batch : {1, 8, 19}) {
                    std::vector<float> w(batch, -1.0f);
                    k(cm.data.data(), cm.stride, q, h, docs.data(), batch, w.data());
                    for (std::size_t d = 0; d < batch; ++d)
                        CHECK_EQ(bits(w[d]), bits(qor::proxy_distance(sims, q, h, codes[d])));
                }
            }
}

TEST(kernels_special_cases) {
    // One row of [NaN, -0.0, +0.0, -inf]: the NaN and the -inf never win.
    const float row[] = {NaN, -0.0f, 0.0f, -INF};
    const qor::CodeMajorSims cm = qor::to_code_major(row, 1, 4);
    const qor::CodeMajorSims no_rows = qor::to_code_major(row, 0, 4);
    const uint16_t only_nan[] = {0};
    const uint16_t out_of_range[] = {4, 9, 65535};
    const uint16_t zeros[] = {1, 2, 0, 3};
    for (const qor::ProxyKernel k : kernels()) {
        CHECK_EQ(one(k, cm, only_nan, 0), FLT_MAX);       // no codes
        CHECK_EQ(one(k, no_rows, only_nan, 1), FLT_MAX);  // no rows
        CHECK_EQ(one(k, cm, only_nan, 1), 1.0f);          // the row adds nothing
        CHECK_EQ(one(k, cm, out_of_range, 3), 1.0f);
        CHECK_EQ(bits(one(k, cm, zeros, 4)), bits(1.0f));
    }
}

TEST(worked_score) {
    // Q = 2, codes {3, 7}: row maxima 0.9 and 0.6, w = 0.25; query C_top
    // [4, 1, 9] against [1, 4, 2] shares two clusters.
    std::vector<float> sims(2 * 8, 0.0f);
    sims[3] = 0.9f;
    sims[7] = 0.5f;
    sims[8 + 3] = 0.2f;
    sims[8 + 7] = 0.6f;
    const uint16_t codes[] = {3, 7};
    const qor::CodeMajorSims cm = qor::to_code_major(sims.data(), 2, 8);
    const uint32_t qctop[] = {4, 1, 9};
    const uint32_t dctop[] = {1, 4, 2};
    const uint64_t overlap = qor::ctop_overlap(qctop, dctop);
    CHECK_EQ(overlap, uint64_t{2});
    for (const qor::ProxyKernel k : kernels()) {
        const float w = one(k, cm, codes, 2);
        CHECK_EQ(w, 0.25f);
        CHECK_EQ(static_cast<double>(qor::proxy_score(w, overlap, 3)), 0.9333333373069763);  // 0.93333334f
    }
    // An empty query C_top divides by one, not zero; nothing clamps the score.
    CHECK_EQ(qor::proxy_score(0.0f, 0, 0), 1.0f);
    CHECK_EQ(qor::proxy_score(-1.0f, 0, 3), INF);
    // A document without codes: a subnormal, not zero.
    CHECK_EQ(bits(qor::proxy_score(FLT_MAX, 0, 3)), bits(2.938736e-39f));
}

TEST(rank_is_a_stable_descending_sort_truncated) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> few(0, 6);  // many ties, both zero signs
    for (const std::size_t n : {0, 1, 2, 21, 1200}) {
        std::vector<float> scores(n);
        for (float& s : scores) s = few(rng) == 0 ? -0.0f : 0.1f * static_cast<float>(few(rng));
        std::vector<uint32_t> want(n);
        for (uint32_t i = 0; i < n; ++i) want[i] = i;
        std::stable_sort(want.begin(), want.end(),
                         [&](uint32_t a, uint32_t b) { return scores[a] > scores[b]; });
        for (const uint64_t keep : {0, 1, 3, 500, 5000}) {
            const auto end = want.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(n, keep));
            CHECK(qor::rank_scores(scores, keep) == std::vector<uint32_t>(want.begin(), end));
        }
    }
}

TEST(rank_nan_rules) {
    const float one_nan[] = {NaN};
    CHECK(qor::rank_scores(one_nan, 5) == std::vector<uint32_t>{0});
    const float two[] = {0.5f, NaN};
    CHECK_THROWS(qor::rank_scores(two, 5), qor::InternalFailure, "proxy scores cannot be ordered");
    // Even when nothing is kept, the scores must be orderable.
    CHECK_THROWS(qor::rank_scores(two, 0), qor::InternalFailure, "proxy scores cannot be ordered");
}

namespace {

qor::ClusterPostings postings_of(std::vector<std::vector<uint32_t>> lists) {
    qor::ClusterPostings p;
    p.lists = std::move(lists);
    p.cluster_reps.resize(p.lists.size());
    return p;
}

}  // namespace

TEST(candidates_hits_and_order) {
    // Document 5 is under three probed clusters: once, with 3 hits, first.
    // The candidates fill their index span, so they are found by a scan.
    const qor::ClusterPostings p = postings_of({{1, 5, 9}, {5, 7}, {0, 5}, {2}});
    const uint32_t ctop[] = {0, 1, 2, 40};  // 40 has no posting list
    const qor::CandidateList c = qor::collect_candidates(p, ctop, 10);
    CHECK(c.docs == (std::vector<uint32_t>{5, 0, 1, 7, 9}));
    CHECK(c.hits == (std::vector<uint32_t>{3, 1, 1, 1, 1}));
    CHECK(qor::collect_candidates(p, {}, 10).docs.empty());
    const uint32_t beyond[] = {4, 1000};
    CHECK(qor::collect_candidates(p, beyond, 10).docs.empty());
    // Few candidates over a wide span are sorted instead; a repeat within a
    // list counts twice.
    const qor::ClusterPostings sparse = postings_of({{3, 900000}, {3, 40, 40}, {500000}});
    const uint32_t order[] = {2, 0, 1};
    const qor::CandidateList s = qor::collect_candidates(sparse, order, 1000000);
    CHECK(s.docs == (std::vector<uint32_t>{3, 40, 500000, 900000}));
    CHECK(s.hits == (std::vector<uint32_t>{2, 2, 1, 1}));
}

TEST(candidates_bad_index_fails_and_leaves_counters_clean) {
    const uint32_t ctop[] = {0, 1};
    CHECK_THROWS(qor::collect_candidates(postings_of({{0, 1}, {1, 7}}), ctop, 5), qor::InternalFailure,
                 "router state is inconsistent");
    // The failed call counted documents 0 and 1 before failing; a later
    // query must not see those counts.
    const qor::CandidateList c = qor::collect_candidates(postings_of({{0}, {3}}), ctop, 5);
    CHECK(c.hits == (std::vector<uint32_t>{1, 1}));
    CHECK(c.docs == (std::vector<uint32_t>{0, 3}));
}

QORTEST_MAIN()
