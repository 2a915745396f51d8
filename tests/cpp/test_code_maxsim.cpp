// Residual codes and approximate MaxSim on them: every instruction-set
// kernel against the written-out formula bit for bit over dimension tails,
// query widths and document lengths; fine codes equal to the router's;
// quantiser training and scoring independent of the pool size.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "codebook/codebook.hpp"
#include "codebook/encode.hpp"
#include "codes/code_maxsim.hpp"
#include "codes/residual_codes.hpp"
#include "common/errors.hpp"
#include "parallel/thread_pool.hpp"

namespace {

using qor::parallel::Isa;

const float INF = std::numeric_limits<float>::infinity();

bool same(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) || (a != a && b != b);
}

std::vector<float> uniform(std::size_t n, std::mt19937& rng, float lo = -1.0f, float hi = 1.0f) {
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

// Unit-length random centroids, as a codebook holds them.
std::vector<float> unit_rows(std::size_t k, std::size_t d, std::mt19937& rng) {
    std::vector<float> c = uniform(k * d, rng);
    for (std::size_t i = 0; i < k; ++i) {
        double s = 0;
        for (std::size_t p = 0; p < d; ++p) s += double(c[i * d + p]) * c[i * d + p];
        for (std::size_t p = 0; p < d; ++p) c[i * d + p] = float(c[i * d + p] / std::sqrt(s));
    }
    return c;
}

// The documented formula, from the query, the centroids, the levels and the
// codes, with nothing shared with the library's tables: m_j per query row.
std::vector<float> formula_maxima(const float* query, std::size_t q, const std::vector<float>& cents,
                                  std::size_t n_fine, std::size_t d, const qor::ResidualQuantiser& qz,
                                  const uint16_t* fine, const uint8_t* residual, std::size_t n) {
    // Groups of 4 bits: group g is the low (even g) or high (odd g) half of byte g / 2.
    const std::size_t per_group = 4 / qz.bits, bytes = (d * qz.bits + 7) / 8, k = qz.buckets();
    const std::size_t groups = (d * qz.bits + 3) / 4;
    std::vector<float> mx(q, -INF);
    for (std::size_t j = 0; j < q; ++j) {
        const float* qj = query + j * d;
        std::vector<float> c(n_fine), t(groups * 16), lo(groups);
        float top = 0, span = 0;
        for (std::size_t f = 0; f < n_fine; ++f) {
            float s = 0.0f;
            for (std::size_t p = 0; p < d; ++p) s = s + qj[p] * cents[f * d + p];
            c[f] = s;
            top = std::max(top, std::fabs(s));
        }
        for (std::size_t g = 0; g < groups; ++g) {
            for (unsigned value = 0; value < 16; ++value) {
                float s = 0.0f;
                for (std::size_t p = g * per_group; p < std::min(d, (g + 1) * per_group); ++p)
                    s = s + qj[p] * qz.levels[p * k + ((value >> ((p % per_group) * qz.bits)) & (k - 1))];
                t[g * 16 + value] = s;
            }
            lo[g] = *std::min_element(&t[g * 16], &t[g * 16 + 16]);
            span = std::max(span, *std::max_element(&t[g * 16], &t[g * 16 + 16]) - lo[g]);
        }
        float delta = std::max(span / 255.0f, top / 4194304.0f);
        if (delta == 0.0f) delta = 1.0f;
        float bias = lo[0];
        for (std::size_t g = 1; g < groups; ++g) bias = bias + lo[g];
        bool any = false;
        long long best = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (fine[i] >= n_fine) continue;
            long long s = std::llrint(c[fine[i]] / delta);
            for (std::size_t g = 0; g < groups; ++g) {
                const unsigned value = (residual[i * bytes + g / 2] >> (4 * (g % 2))) & 0xFu;
                s += std::min(255LL, std::llrint((t[g * 16 + value] - lo[g]) / delta));
            }
            best = any ? std::max(best, s) : s;
            any = true;
        }
        if (any) mx[j] = static_cast<float>(best) * delta + bias;
    }
    return mx;
}

}  // namespace

TEST(every_kernel_gives_the_formula_bit_for_bit) {
    std::mt19937 rng(7);
    const std::size_t dims[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 33, 97, 128};
    for (const std::size_t d : dims)
        for (const uint32_t bits : {1u, 2u, 4u}) {
            const std::size_t n_fine = 5;
            const std::vector<float> cents = unit_rows(n_fine, d, rng);
            const std::vector<float> train = uniform(300 * d, rng);
            const qor::CentroidView cv{cents.data(), n_fine, d};
            const qor::ResidualQuantiser qz =
                qor::train_residual_quantiser(cv, train.data(), 300, bits, 1000, 1);
            const std::size_t n = 70, bytes = qor::residual_bytes(d, bits);
            std::vector<uint16_t> fine(n);
            std::vector<uint8_t> residual(n * bytes);
            const std::vector<float> docs = uniform(n * d, rng);
            qor::encode_residual_codes(cv, qz, docs.data(), n, fine.data(), residual.data());
            fine[3] = 9;   // beyond the codebook: that vector never wins
            fine[20] = 5;  // (also in a later block of those scored together)
            fine[66] = 6;
            residual[1] = 0xFF;  // stray high bits of a short last byte are ignored
            for (const std::size_t q : {1u, 3u, 8u, 9u, 16u, 17u, 33u}) {
                const std::vector<float> query = uniform(q * d, rng);
                const qor::CodeQueryTables t = qor::build_code_tables(query.data(), q, cv, qz);
                for (const std::size_t len : {0u, 1u, 3u, 4u, 5u, 16u, 17u, 32u, 33u, 50u, 53u, 64u, 70u}) {
                    const std::vector<float> want = formula_maxima(query.data(), q, cents, n_fine, d, qz,
                                                                   fine.data(), residual.data(), len);
                    for (const auto kernel : qor::code_maxsim_kernels()) {
                        std::vector<int32_t> got(t.t_stride + 16, 1);
                        kernel(t, fine.data(), residual.data(), len, got.data());
                        for (std::size_t j = 0; j < q; ++j)
                            if (!same(qor::code_row_maximum(t, j, got[j]), want[j])) {
                                CHECK(same(qor::code_row_maximum(t, j, got[j]), want[j]));
                                return;
                            }
                    }
                }
            }
        }
}

TEST(fine_codes_are_the_routers_and_training_ignores_the_pool) {
    std::mt19937 rng(11);
    const std::size_t d = 24, n = 2000;
    const std::vector<float> vectors = uniform(n * d, rng);
    const qor::TwoStageCodebook cb = qor::train_codebook(vectors, n, d, 64, 8, 5);
    const qor::CentroidView cv{cb.cquant.data(), cb.n_fine, d};
    const std::vector<uint32_t> router = qor::encode_vectors(cb, vectors, n);

    qor::ResidualQuantiser first;
    std::vector<uint16_t> first_fine;
    std::vector<uint8_t> first_residual;
    for (std::size_t threads = 1; threads <= 4; ++threads) {
        qor::parallel::ThreadPool pool(threads);
        const qor::ResidualQuantiser qz =
            qor::train_residual_quantiser(cv, vectors.data(), n, 2, 700, 3, &pool);
        std::vector<uint16_t> fine(n);
        std::vector<uint8_t> residual(n * qor::residual_bytes(d, 2));
        qor::encode_residual_codes(cv, qz, vectors.data(), n, fine.data(), residual.data(), &pool);
        if (threads == 1) {
            first = qz;
            first_fine = fine;
            first_residual = residual;
            for (std::size_t i = 0; i < n; ++i) CHECK_EQ(uint32_t{fine[i]}, router[i]);
        } else {
            CHECK(qz.levels == first.levels && qz.cuts == first.cuts);
            CHECK(fine == first_fine && residual == first_residual);
        }
    }
    // Another seed draws another sample; the levels of each dimension are ordered.
    const qor::ResidualQuantiser other = qor::train_residual_quantiser(cv, vectors.data(), n, 2, 700, 4);
    CHECK(other.levels != first.levels);
    for (std::size_t p = 0; p < d; ++p)
        for (std::size_t b = 0; b + 1 < 4; ++b) CHECK(first.levels[p * 4 + b] <= first.levels[p * 4 + b + 1]);
}

TEST(large_queries_and_documents_score_alike_in_every_kernel) {
    // Beyond the sizes whose buffers a thread keeps: 300 query rows over
    // 4,096 centroids, a document of 5,000 vectors.
    std::mt19937 rng(13);
    const std::size_t d = 16, n_fine = 4096, n = 5000, q = 300;
    const std::vector<float> cents = unit_rows(n_fine, d, rng);
    const qor::CentroidView cv{cents.data(), n_fine, d};
    const std::vector<float> docs = uniform(n * d, rng);
    const qor::ResidualQuantiser qz = qor::train_residual_quantiser(cv, docs.data(), n, 2, 2000, 1);
    std::vector<uint16_t> fine(n);
    std::vector<uint8_t> residual(n * qor::residual_bytes(d, 2));
    qor::encode_residual_codes(cv, qz, docs.data(), n, fine.data(), residual.data());
    const std::vector<float> query = uniform(q * d, rng);
    const qor::CodeQueryTables t = qor::build_code_tables(query.data(), q, cv, qz);
    std::vector<int32_t> want(t.t_stride + 16);
    qor::code_maxsim_scalar(t, fine.data(), residual.data(), n, want.data());
    for (const auto kernel : qor::code_maxsim_kernels()) {
        std::vector<int32_t> got(t.t_stride + 16);
        kernel(t, fine.data(), residual.data(), n, got.data());
        CHECK(std::equal(want.begin(), want.begin() + q, got.begin()));
    }
}

TEST(scores_equal_over_pool_sizes_and_approach_the_exact_ones) {
    std::mt19937 rng(5);
    const std::size_t d = 32, n_fine = 16, n_docs = 400;
    const std::vector<float> cents = unit_rows(n_fine, d, rng);
    const qor::CentroidView cv{cents.data(), n_fine, d};
    std::vector<int64_t> offsets{0};
    for (std::size_t i = 0; i < n_docs; ++i) offsets.push_back(offsets.back() + 1 + int64_t(i % 37));
    const auto n = static_cast<std::size_t>(offsets.back());
    // Vectors near the centroids, so 4-bit residuals reconstruct them closely.
    std::vector<float> vectors = uniform(n * d, rng, -0.1f, 0.1f);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t p = 0; p < d; ++p) vectors[i * d + p] += cents[(i % n_fine) * d + p];
    const qor::ResidualQuantiser qz = qor::train_residual_quantiser(cv, vectors.data(), n, 4, 5000, 9);
    std::vector<uint16_t> fine(n);
    std::vector<uint8_t> residual(n * qor::residual_bytes(d, 4));
    qor::encode_residual_codes(cv, qz, vectors.data(), n, fine.data(), residual.data());
    const qor::CodeStoreView store{fine.data(), residual.data(), n, offsets.data(), n_docs};
    std::vector<int64_t> cands(3 * n_docs);
    for (std::size_t i = 0; i < cands.size(); ++i) cands[i] = int64_t((i * 7) % n_docs);
    const std::size_t q = 8;
    const std::vector<float> query = uniform(q * d, rng);

    std::vector<float> want(cands.size());
    {
        qor::parallel::ThreadPool pool(1);
        qor::code_maxsim_scores(query.data(), q, cv, qz, store, cands, want.data(), &pool,
                                &qor::code_maxsim_scalar);
    }
    for (const auto kernel : qor::code_maxsim_kernels())
        for (std::size_t threads = 1; threads <= 4; ++threads) {
            qor::parallel::ThreadPool pool(threads);
            std::vector<float> got(cands.size());
            qor::code_maxsim_scores(query.data(), q, cv, qz, store, cands, got.data(), &pool, kernel);
            for (std::size_t i = 0; i < got.size(); ++i) CHECK(same(got[i], want[i]));
        }
    // Against the exact MaxSim of the original vectors: cands[i] for
    // i < n_docs covers every document (7 and n_docs are coprime).
    double worst = 0;
    for (std::size_t i = 0; i < n_docs; ++i) {
        const auto doc = static_cast<std::size_t>(cands[i]);
        float exact = 0;
        for (std::size_t j = 0; j < q; ++j) {
            float mx = -INF;
            for (auto r = offsets[doc]; r < offsets[doc + 1]; ++r) {
                float acc = 0;
                for (std::size_t p = 0; p < d; ++p) acc += query[j * d + p] * vectors[std::size_t(r) * d + p];
                mx = std::max(mx, acc);
            }
            exact += mx;
        }
        worst = std::max(worst, std::fabs(double(exact) - double(want[i])));
    }
    CHECK(worst < 0.1 * double(q));
}

TEST(candidate_lists_score_as_one_by_one) {
    // Documents of lengths around the 16-vector blocks, empty ones between
    // them and at the ends, codes beyond the codebook, candidates repeated
    // and in any order, lists split over threads: every kernel gives each
    // candidate the scalar kernel's score of that candidate alone.
    std::mt19937 rng(17);
    const std::size_t lengths[] = {0, 1, 15, 16, 17, 0, 0, 50, 31, 33, 64, 2, 0, 47, 49, 3, 0};
    std::vector<int64_t> offsets{0};
    for (const std::size_t len : lengths) offsets.push_back(offsets.back() + int64_t(len));
    const std::size_t n_docs = std::size(lengths), n = std::size_t(offsets.back()), n_fine = 7;
    for (const std::size_t d : {16u, 24u, 128u})
        for (const uint32_t bits : {1u, 2u, 4u}) {
            const std::vector<float> cents = unit_rows(n_fine, d, rng);
            const qor::CentroidView cv{cents.data(), n_fine, d};
            const std::vector<float> vectors = uniform(n * d, rng);
            const qor::ResidualQuantiser qz =
                qor::train_residual_quantiser(cv, vectors.data(), n, bits, 500, 2);
            std::vector<uint16_t> fine(n);
            std::vector<uint8_t> residual(n * qor::residual_bytes(d, bits));
            qor::encode_residual_codes(cv, qz, vectors.data(), n, fine.data(), residual.data());
            fine[20] = 9;  // beyond the codebook: never wins
            fine[std::size_t(offsets[8]) + 3] = 7;
            const qor::CodeStoreView store{fine.data(), residual.data(), n, offsets.data(), n_docs};
            std::vector<int64_t> cands;
            for (std::size_t i = 0; i < 3 * n_docs; ++i)
                cands.push_back(int64_t((i * 5 + i / n_docs) % n_docs));
            for (const std::size_t q : {1u, 8u, 11u}) {
                const std::vector<float> query = uniform(q * d, rng);
                std::vector<float> want(cands.size());
                for (std::size_t i = 0; i < cands.size(); ++i)
                    qor::code_maxsim_scores(query.data(), q, cv, qz, store, {&cands[i], 1}, &want[i], nullptr,
                                            &qor::code_maxsim_scalar);
                for (const auto kernel : qor::code_maxsim_kernels())
                    for (const std::size_t threads : {1u, 2u}) {
                        qor::parallel::ThreadPool pool(threads);
                        for (const std::size_t count : {std::size_t{1}, std::size_t{9}, cands.size()}) {
                            std::vector<float> got(count);
                            qor::code_maxsim_scores(query.data(), q, cv, qz, store, {cands.data(), count},
                                                    got.data(), &pool, kernel);
                            for (std::size_t i = 0; i < count; ++i) CHECK(same(got[i], want[i]));
                        }
                    }
            }
        }
}

TEST(empty_queries_documents_and_refusals) {
    std::mt19937 rng(3);
    const std::size_t d = 9, n_fine = 3;
    const std::vector<float> cents = unit_rows(n_fine, d, rng);
    const qor::CentroidView cv{cents.data(), n_fine, d};
    const std::vector<float> vectors = uniform(4 * d, rng);
    const qor::ResidualQuantiser qz = qor::train_residual_quantiser(cv, vectors.data(), 4, 1, 10, 1);
    std::vector<uint16_t> fine(4);
    std::vector<uint8_t> residual(4 * 2);
    qor::encode_residual_codes(cv, qz, vectors.data(), 4, fine.data(), residual.data());
    const int64_t offsets[] = {0, 4, 4};
    const qor::CodeStoreView store{fine.data(), residual.data(), 4, offsets, 2};
    const int64_t cands[] = {0, 1};
    float out[2];
    const std::vector<float> query = uniform(2 * d, rng);
    qor::code_maxsim_scores(query.data(), 0, cv, qz, store, cands, out);
    CHECK(out[0] == 0.0f && out[1] == 0.0f);
    qor::code_maxsim_scores(query.data(), 2, cv, qz, store, cands, out);
    CHECK(std::isfinite(out[0]) && out[1] == -INF);
    const int64_t bad[] = {2};
    CHECK_THROWS(qor::code_maxsim_scores(query.data(), 2, cv, qz, store, bad, out), qor::InvalidInput,
                 "candidate 2 is outside the store's documents 0..1");
    const int64_t broken_offsets[] = {0, 5, 5};
    const qor::CodeStoreView broken{fine.data(), residual.data(), 4, broken_offsets, 2};
    CHECK_THROWS(qor::code_maxsim_scores(query.data(), 2, cv, qz, broken, cands, out), qor::InvalidInput,
                 "document 0 spans rows 0..5, outside the store's 4 rows");
    CHECK_THROWS(qor::train_residual_quantiser(cv, vectors.data(), 4, 3, 10, 1), qor::InvalidInput,
                 "residual bits must be 1, 2 or 4, got 3");
    qor::ResidualQuantiser wrong = qz;
    wrong.dim = 8;
    CHECK_THROWS(qor::encode_residual_codes(cv, wrong, vectors.data(), 4, fine.data(), residual.data()),
                 qor::InvalidInput, "the quantiser has dimension 8; the codebook has 9");
}

QORTEST_MAIN()
