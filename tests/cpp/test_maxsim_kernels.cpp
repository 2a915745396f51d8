// Exact MaxSim: every instruction-set kernel against the written-out
// definition bit for bit over float32 and float16 rows, the float16 widening
// over every input, whole scorings across stores and pool sizes, and the
// refusal of bad candidates.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "common/errors.hpp"
#include "parallel/thread_pool.hpp"
#include "rerank/maxsim.hpp"
#include "test_rows.hpp"

namespace {

using qor::parallel::Isa;

const float INF = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

using qortest::same_bits;

using qortest::kernel_values;

// The definition, from the row-major query and document rows.
float definition(const float* query, std::size_t q, const float* rows, std::size_t n_rows, std::size_t dim) {
    if (q == 0) return 0.0f;
    std::vector<float> mx(q, -INF);
    for (std::size_t j = 0; j < q; ++j)
        for (std::size_t r = 0; r < n_rows; ++r) {
            float acc = 0.0f;
            for (std::size_t p = 0; p < dim; ++p) {
                const float product = query[j * dim + p] * rows[r * dim + p];
                acc = acc + product;
            }
            if (acc > mx[j]) mx[j] = acc;
        }
    float score = mx[0];
    for (std::size_t j = 1; j < q; ++j) score = score + mx[j];
    return score;
}

std::vector<qor::MaxSimKernel> kernels() {
    std::vector<qor::MaxSimKernel> all{&qor::maxsim_rows_scalar};
    for (const Isa isa : {Isa::Avx2, Isa::Avx512})
        if (qor::parallel::isa_supported(isa)) all.push_back(qor::maxsim_kernel_for(isa));
    return all;
}

// Random binary16 bit patterns of every finite exponent, subnormals and
// both zeros included; with `specials`, one in 50 an infinity or a NaN.
std::vector<uint16_t> half_values(std::size_t n, std::mt19937& rng, bool specials) {
    std::uniform_int_distribution<uint32_t> bits(0, 0xFFFF);
    std::uniform_int_distribution<int> special(0, 49);
    std::vector<uint16_t> out(n);
    for (uint16_t& h : out) {
        uint32_t v = bits(rng);
        if ((v & 0x7C00u) == 0x7C00u) v &= 0xBFFFu;  // exponent 31 -> 15: finite
        if (specials && special(rng) == 0) v = (v & 0x8000u) | 0x7C00u | (v & 1u ? 0x200u : 0u);
        h = static_cast<uint16_t>(v);
    }
    return out;
}

// Round to nearest binary16 by way of the widening table: the nearest of the
// 65536 values (ties do not matter for test data).
std::vector<uint16_t> to_half(const std::vector<float>& v) {
    std::vector<uint16_t> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        // Finite, in range: truncate the float32 mantissa to 10 bits.
        const uint32_t b = std::bit_cast<uint32_t>(v[i]);
        const uint32_t sign = (b >> 16) & 0x8000u;
        const int e = static_cast<int>((b >> 23) & 0xFF) - 127 + 15;
        out[i] = e <= 0 ? static_cast<uint16_t>(sign)
                        : static_cast<uint16_t>(sign | (e << 10) | ((b >> 13) & 0x3FFu));
    }
    return out;
}

}  // namespace

TEST(every_kernel_gives_the_definition_bit_for_bit) {
    std::mt19937 rng(5);
    std::vector<std::size_t> dims;
    for (std::size_t d = 1; d <= 17; ++d) dims.push_back(d);
    for (const std::size_t d : {31, 33, 97, 128}) dims.push_back(d);
    const auto all = kernels();
    // Query rows around the lane widths and strips (8, 16, 32), document
    // lengths around every row block of the kernels (5, 6, 10, 12) and their
    // splits of the last rows, and none at all; dimensions around the
    // kernels' slots of 16.
    for (const std::size_t dim : dims)
        for (const std::size_t q : {1, 7, 8, 9, 16, 17, 32, 33})
            for (const std::size_t n_rows : {0, 1, 2, 3, 4, 6, 9, 10, 11, 13, 19, 21, 25, 29})
                for (const bool specials : {false, true})
                    for (const bool half : {false, true}) {
                        const std::vector<float> query = kernel_values(q * dim, rng, specials);
                        const std::vector<uint16_t> halves = half_values(n_rows * dim, rng, specials);
                        std::vector<float> rows = kernel_values(n_rows * dim, rng, specials);
                        if (half)
                            for (std::size_t i = 0; i < rows.size(); ++i)
                                rows[i] = qor::half_to_float(halves[i]);
                        const int64_t offsets[2] = {0, static_cast<int64_t>(n_rows)};
                        const qor::StoreView store{
                            half ? static_cast<const void*>(halves.data()) : rows.data(),
                            half ? qor::RowType::Float16 : qor::RowType::Float32,
                            n_rows,
                            dim,
                            offsets,
                            1};
                        const int64_t cand = 0;
                        const float want = definition(query.data(), q, rows.data(), n_rows, dim);
                        for (const qor::MaxSimKernel kernel : all) {
                            float got = 12345.0f;
                            qor::maxsim_scores(query.data(), q, store, {&cand, 1}, &got, nullptr, kernel);
                            if (!same_bits(got, want)) {
                                CHECK(same_bits(got, want));
                                std::fprintf(stderr,
                                             "  dim %zu q %zu rows %zu specials %d half %d: %a vs %a\n", dim,
                                             q, n_rows, specials, half, got, want);
                                return;
                            }
                        }
                    }
}

TEST(half_widening_is_exact_for_every_bit_pattern) {
    for (uint32_t h = 0; h < 65536; ++h) {
        const uint32_t e = (h >> 10) & 0x1F, m = h & 0x3FF;
        const float sign = (h & 0x8000) ? -1.0f : 1.0f;
        const float got = qor::half_to_float(static_cast<uint16_t>(h));
        if (e == 0x1F) {
            CHECK(m == 0 ? got == sign * INF : (got != got && std::signbit(got) == (sign < 0)));
            continue;
        }
        const float want = e == 0 ? sign * std::ldexp(static_cast<float>(m), -24)
                                  : sign * std::ldexp(static_cast<float>(1024 + m), static_cast<int>(e) - 25);
        if (!same_bits(got, want)) {
            CHECK(same_bits(got, want));
            return;
        }
    }
}

TEST(scores_equal_over_kernels_pool_sizes_and_float16_stores) {
    // Enough work that the scoring is split over the pool.
    std::mt19937 rng(9);
    const std::size_t dim = 97, q = 19, n_docs = 240;
    std::vector<int64_t> offsets{0};
    std::uniform_int_distribution<int> len(0, 70);
    for (std::size_t d = 0; d < n_docs; ++d) offsets.push_back(offsets.back() + len(rng));
    const auto n_rows = static_cast<uint64_t>(offsets.back());
    const std::vector<float> rows = kernel_values(n_rows * dim, rng, false);
    const std::vector<uint16_t> halves = to_half(rows);
    std::vector<float> widened(halves.size());
    for (std::size_t i = 0; i < halves.size(); ++i) widened[i] = qor::half_to_float(halves[i]);
    const std::vector<float> query = kernel_values(q * dim, rng, false);
    std::vector<int64_t> cands;
    std::uniform_int_distribution<int64_t> pick(0, n_docs - 1);
    for (int i = 0; i < 600; ++i) cands.push_back(pick(rng));  // repeats included

    for (const bool half : {false, true}) {
        const std::vector<float>& ref_rows = half ? widened : rows;
        const qor::StoreView store{half ? static_cast<const void*>(halves.data()) : rows.data(),
                                   half ? qor::RowType::Float16 : qor::RowType::Float32,
                                   n_rows,
                                   dim,
                                   offsets.data(),
                                   n_docs};
        std::vector<float> want(cands.size());
        for (std::size_t i = 0; i < cands.size(); ++i) {
            const auto c = static_cast<std::size_t>(cands[i]);
            want[i] = definition(query.data(), q, ref_rows.data() + offsets[c] * dim,
                                 static_cast<std::size_t>(offsets[c + 1] - offsets[c]), dim);
        }
        for (const qor::MaxSimKernel kernel : kernels())
            for (std::size_t threads = 1; threads <= 4; ++threads) {
                qor::parallel::ThreadPool pool(threads);
                std::vector<float> got(cands.size(), 7.0f);
                qor::maxsim_scores(query.data(), q, store, cands, got.data(), &pool, kernel);
                int wrong = 0;
                for (std::size_t i = 0; i < got.size(); ++i) wrong += same_bits(got[i], want[i]) ? 0 : 1;
                CHECK_EQ(wrong, 0);
            }
    }
}

TEST(empty_query_and_empty_documents) {
    const std::vector<float> rows{1.0f, 2.0f};
    const int64_t offsets[3] = {0, 0, 1};  // document 0 has no rows
    const qor::StoreView store{rows.data(), qor::RowType::Float32, 1, 2, offsets, 2};
    const std::vector<int64_t> cands{0, 1};
    const float query[2] = {3.0f, -1.0f};
    float out[2] = {9.0f, 9.0f};
    qor::maxsim_scores(query, 0, store, cands, out);
    CHECK(out[0] == 0.0f && out[1] == 0.0f);
    qor::maxsim_scores(query, 1, store, cands, out);
    CHECK(out[0] == -INF);
    CHECK(out[1] == 1.0f);
}

TEST(bad_candidates_and_offsets_are_refused_before_any_work) {
    const std::vector<float> rows(6, 1.0f);
    const int64_t offsets[3] = {0, 2, 4};  // the store holds 3 rows of width 2
    const qor::StoreView store{rows.data(), qor::RowType::Float32, 3, 2, offsets, 2};
    const float query[2] = {1.0f, 1.0f};
    float out[1] = {5.0f};
    const int64_t neg = -1, past = 2, long_doc = 1;
    CHECK_THROWS(qor::maxsim_scores(query, 1, store, {&neg, 1}, out), qor::InvalidInput,
                 "candidate -1 is outside the store's documents 0..1");
    CHECK_THROWS(qor::maxsim_scores(query, 1, store, {&past, 1}, out), qor::InvalidInput,
                 "candidate 2 is outside the store's documents 0..1");
    CHECK_THROWS(qor::maxsim_scores(query, 1, store, {&long_doc, 1}, out), qor::InvalidInput,
                 "document 1 spans rows 2..4, outside the store's 3 rows");
    CHECK(out[0] == 5.0f);
}

QORTEST_MAIN()
