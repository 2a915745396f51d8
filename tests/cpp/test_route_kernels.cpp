// Routing pieces against plain references: the code-major proxy kernels
// (bit for bit against proxy_distance), the score formula, ranking, hit
// counting and candidate order, and the BLAS product.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "check.hpp"
#include "codebook/encode.hpp"
#include "common/errors.hpp"
#include "router/blas.hpp"
#include "router/candidates.hpp"
#include "router/scoring.hpp"

namespace {

const float INF = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

struct Kernel {
    const char* name;
    qor::ProxyKernel fn;
};

// The kernels this processor can run.
std::vector<Kernel> kernels() {
    std::vector<Kernel> ks{{"scalar", &qor::proxy_distances_code_major_scalar}};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) ks.push_back({"avx2", &qor::proxy_distances_code_major_avx2});
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        ks.push_back({"avx512", &qor::proxy_distances_code_major_avx512});
    return ks;
}

// The kernel over a batch of one document.
float one(const Kernel& k, const qor::CodeMajorSims& cm, const uint16_t* codes, std::size_t n) {
    const qor::DocCodes doc{codes, n};
    float w = 0.0f;
    k.fn(cm.data.data(), cm.stride, cm.q, cm.n_fine, &doc, 1, &w);
    return w;
}

// Similarities drawn from a small set so that ties, both zero signs, NaN and
// infinities all occur often.
float tricky_value(std::mt19937& rng) {
    // Huge values make row sums overflow, so -inf + inf = NaN sums occur too.
    static const float pool[] = {0.5f, -0.5f, 0.0f, -0.0f, 0.25f, 1.0f, -1.0f, NaN, INF, -INF, 0.125f, 3e38f, -3e38f};
    std::uniform_int_distribution<int> pick(0, 17);
    const int k = pick(rng);
    if (k < 13) return pool[k];
    return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
}

}  // namespace

TEST(kernels_match_proxy_distance_bit_for_bit) {
    std::mt19937 rng(7);
    const uint64_t qs[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 97, 130, 300};
    const uint64_t hs[] = {1, 5, 64, 256};
    std::uniform_int_distribution<std::size_t> length(0, 70);
    for (const Kernel& k : kernels()) {
        for (const uint64_t q : qs) {
            for (const uint64_t h : hs) {
                std::vector<float> sims(q * h);
                for (float& v : sims) v = tricky_value(rng);
                const qor::CodeMajorSims cm = qor::to_code_major(sims.data(), q, h);
                // 19 documents (not a multiple of any group size), empty
                // ones included; mostly valid codes, repeats, some >= h.
                std::vector<std::vector<uint16_t>> codes(19);
                std::uniform_int_distribution<uint32_t> pick(0, static_cast<uint32_t>(h + h / 4 + 1));
                for (std::size_t d = 0; d < codes.size(); ++d) {
                    codes[d].resize(d % 7 == 3 ? 0 : length(rng));
                    for (uint16_t& c : codes[d]) c = static_cast<uint16_t>(pick(rng));
                }
                std::vector<qor::DocCodes> docs;
                for (const auto& c : codes) docs.push_back({c.data(), c.size()});
                for (const std::size_t batch : {std::size_t{1}, std::size_t{8}, std::size_t{19}}) {
                    std::vector<float> w(batch, -1.0f);
                    k.fn(cm.data.data(), cm.stride, q, h, docs.data(), batch, w.data());
                    for (std::size_t d = 0; d < batch; ++d) {
                        const float want = qor::proxy_distance(sims, q, h, codes[d]);
                        if (bits(w[d]) != bits(want)) {
                            std::fprintf(stderr, "%s q=%llu h=%llu doc %zu of %zu: %a vs %a\n", k.name,
                                         static_cast<unsigned long long>(q), static_cast<unsigned long long>(h), d,
                                         batch, w[d], want);
                            CHECK(false);
                        }
                    }
                }
            }
        }
    }
}

TEST(kernels_special_cases) {
    // One row of [NaN, -0.0, +0.0, -inf]: the NaN and the -inf never win.
    const float row[] = {NaN, -0.0f, 0.0f, -INF};
    const qor::CodeMajorSims cm = qor::to_code_major(row, 1, 4);
    const uint16_t only_nan[] = {0};
    const uint16_t out_of_range[] = {4, 9, 65535};
    const uint16_t zeros[] = {1, 2, 0, 3};
    const qor::CodeMajorSims no_rows = qor::to_code_major(row, 0, 4);
    for (const Kernel& k : kernels()) {
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
    sims[0 * 8 + 3] = 0.9f;
    sims[0 * 8 + 7] = 0.5f;
    sims[1 * 8 + 3] = 0.2f;
    sims[1 * 8 + 7] = 0.6f;
    const uint16_t codes[] = {3, 7};
    const qor::CodeMajorSims cm = qor::to_code_major(sims.data(), 2, 8);
    const uint32_t qctop[] = {4, 1, 9};
    const uint32_t dctop[] = {1, 4, 2};
    const uint64_t overlap = qor::ctop_overlap(qctop, dctop);
    CHECK_EQ(overlap, uint64_t{2});
    for (const Kernel& k : kernels()) {
        const float w = one(k, cm, codes, 2);
        CHECK_EQ(w, 0.25f);
        const float score = qor::proxy_score(w, overlap, 3);
        CHECK_EQ(bits(score), bits(0.93333334f));
        CHECK_EQ(static_cast<double>(score), 0.9333333373069763);
    }
}

TEST(score_formula_edges) {
    // An empty query C_top divides by one, not zero; nothing clamps the score.
    CHECK_EQ(qor::proxy_score(0.0f, 0, 0), 1.0f);
    CHECK_EQ(qor::proxy_score(-1.0f, 0, 3), INF);
    // A document without codes: a subnormal, not zero.
    CHECK_EQ(bits(qor::proxy_score(FLT_MAX, 0, 3)), bits(2.938736e-39f));
}

TEST(rank_is_a_stable_descending_sort_truncated) {
    std::mt19937 rng(3);
    const std::size_t sizes[] = {0, 1, 2, 5, 20, 21, 100, 1200};
    const uint64_t keeps[] = {0, 1, 3, 500, 5000};
    for (const std::size_t n : sizes) {
        std::vector<float> scores(n);
        std::uniform_int_distribution<int> few(0, 6);  // many ties
        for (float& s : scores) s = few(rng) == 0 ? -0.0f : 0.1f * static_cast<float>(few(rng));
        std::vector<uint32_t> want(n);
        for (uint32_t i = 0; i < n; ++i) want[i] = i;
        std::stable_sort(want.begin(), want.end(), [&](uint32_t a, uint32_t b) { return scores[a] > scores[b]; });
        for (const uint64_t keep : keeps) {
            std::vector<uint32_t> expect(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(n, keep)));
            CHECK(qor::rank_scores(scores, keep) == expect);
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

// Reference: hits in a map, ordered by (hits desc, index asc).
std::vector<std::pair<uint32_t, uint32_t>> reference_candidates(const qor::ClusterPostings& p,
                                                                const std::vector<uint32_t>& ctop) {
    std::map<uint32_t, uint32_t> hits;
    for (const uint32_t c : ctop)
        if (c < p.lists.size())
            for (const uint32_t d : p.lists[c]) ++hits[d];
    std::vector<std::pair<uint32_t, uint32_t>> out(hits.begin(), hits.end());
    std::stable_sort(out.begin(), out.end(), [](auto a, auto b) { return a.second > b.second; });
    return out;
}

void check_candidates(const qor::ClusterPostings& p, const std::vector<uint32_t>& ctop, uint64_t n_docs) {
    const qor::CandidateList got = qor::collect_candidates(p, ctop, n_docs);
    const auto want = reference_candidates(p, ctop);
    CHECK_EQ(got.docs.size(), want.size());
    CHECK_EQ(got.hits.size(), want.size());
    for (std::size_t i = 0; i < want.size() && i < got.docs.size(); ++i) {
        CHECK_EQ(got.docs[i], want[i].first);
        CHECK_EQ(got.hits[i], want[i].second);
    }
}

}  // namespace

TEST(candidates_hits_and_order) {
    // Document 5 is under three probed clusters: once, with 3 hits, first.
    const qor::ClusterPostings p = postings_of({{1, 5, 9}, {5, 7}, {0, 5}, {2}});
    const uint32_t ctop[] = {0, 1, 2, 40};  // 40 has no posting list
    const qor::CandidateList c = qor::collect_candidates(p, ctop, 10);
    CHECK(c.docs == (std::vector<uint32_t>{5, 0, 1, 7, 9}));
    CHECK(c.hits == (std::vector<uint32_t>{3, 1, 1, 1, 1}));
    CHECK(qor::collect_candidates(p, {}, 10).docs.empty());
    const uint32_t beyond[] = {4, 1000};
    CHECK(qor::collect_candidates(p, beyond, 10).docs.empty());
}

TEST(candidates_match_reference_dense_and_sparse) {
    std::mt19937 rng(11);
    // Dense: many documents touched (index scan); sparse: few documents
    // spread over a large index range (sort). Duplicates within a list count.
    for (const uint64_t n_docs : {uint64_t{30}, uint64_t{5000}, uint64_t{2000000}}) {
        for (const std::size_t per_list : {std::size_t{3}, std::size_t{400}}) {
            std::vector<std::vector<uint32_t>> lists(6);
            std::uniform_int_distribution<uint32_t> doc(0, static_cast<uint32_t>(n_docs - 1));
            for (auto& l : lists) {
                for (std::size_t i = 0; i < per_list; ++i) l.push_back(doc(rng));
                std::sort(l.begin(), l.end());
            }
            lists[2].push_back(lists[2].empty() ? 0 : lists[2].back());  // a repeated entry
            const qor::ClusterPostings p = postings_of(lists);
            check_candidates(p, {0, 1, 2, 3, 4, 5}, n_docs);
            check_candidates(p, {5, 9, 2}, n_docs);
        }
    }
}

TEST(candidates_bad_index_fails_and_leaves_counters_clean) {
    const qor::ClusterPostings bad = postings_of({{0, 1}, {1, 7}});
    const uint32_t ctop[] = {0, 1};
    CHECK_THROWS(qor::collect_candidates(bad, ctop, 5), qor::InternalFailure, "router state is inconsistent");
    // The failed call counted documents 0 and 1 before failing; a later
    // query must not see those counts.
    const qor::ClusterPostings good = postings_of({{0}, {3}});
    const qor::CandidateList c = qor::collect_candidates(good, ctop, 5);
    CHECK(c.hits == (std::vector<uint32_t>{1, 1}));
    CHECK(c.docs == (std::vector<uint32_t>{0, 3}));
}

TEST(sgemm_abt_product_and_edges) {
    // Small integers: every product and sum is exact whatever the blocking.
    const uint64_t q = 5, n = 37, k = 19;
    std::vector<float> a(q * k), b(n * k);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(static_cast<int>(i % 7) - 3);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<float>(static_cast<int>(i % 5) - 2);
    std::vector<float> out(q * n + 3, NaN);  // old contents (NaN) must not leak in
    qor::sgemm_abt(a.data(), q, b.data(), n, k, out.data());
    for (uint64_t i = 0; i < q; ++i)
        for (uint64_t j = 0; j < n; ++j) {
            float want = 0.0f;
            for (uint64_t t = 0; t < k; ++t) want += a[i * k + t] * b[j * k + t];
            CHECK_EQ(out[i * n + j], want);
        }
    CHECK(std::isnan(out[q * n]));  // nothing written past q x n

    std::vector<float> z(6, NaN);
    qor::sgemm_abt(nullptr, 2, nullptr, 3, 0, z.data());  // empty inner dimension
    CHECK(std::all_of(z.begin(), z.end(), [](float v) { return bits(v) == 0; }));
    std::vector<float> untouched(4, NaN);
    qor::sgemm_abt(nullptr, 0, b.data(), n, k, untouched.data());
    CHECK(std::isnan(untouched[0]));
    CHECK_THROWS(qor::sgemm_abt(a.data(), uint64_t{1} << 31, b.data(), n, k, out.data()), qor::InternalFailure,
                 "similarity product");
}

QORTEST_MAIN()
