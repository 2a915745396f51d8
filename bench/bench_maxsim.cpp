// Exact MaxSim per kernel on one thread: microseconds per candidate of 50
// rows (and per candidate row), float32 and float16 stores, the candidates
// in cache (a few documents scored many times), streamed from memory
// (every document of a store larger than the caches, once per pass, in
// order) and scattered (a random tenth of them, in increasing order, as a
// search reranks them: too far apart for the processor's own prefetching).
//   build/bench/bench_maxsim [query rows] [dim] [rows per document]
// prints: kernel=<isa> store=<f32|f16> data=<cached|streamed|scattered> q=<rows> dim=<d>
// us_per_candidate=<us> ns_per_row=<ns> and first this core's arithmetic floor for one candidate: the exact
// score needs q x dim x rows products and as many sums, unfused, so at best
//   floor=<256|512> ns_per_vector_op=<ns> us_per_candidate=<us>
// from the measured throughput of independent vector multiply-then-add pairs.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "parallel/thread_pool.hpp"
#include "rerank/maxsim.hpp"

namespace {

using qor::parallel::Isa;

// binary16 bits of a float in [-1, 1] (truncated mantissa; any value will do).
uint16_t to_half(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    const uint32_t sign = (b >> 16) & 0x8000u;
    const int e = static_cast<int>((b >> 23) & 0xFF) - 112;
    return static_cast<uint16_t>(e <= 0 ? sign
                                        : sign | (static_cast<uint32_t>(e) << 10) | ((b >> 13) & 0x3FFu));
}

// Nanoseconds per vector multiply plus vector add, over 12 independent
// chains (more than the adders' latency times their ports), 5 runs' median.
// One body per width, each compiled for its instruction set.
#define QOR_PAIRS_BODY(F, SET1, MUL, ADD)                                                                  \
    constexpr int CHAINS = 12;                                                                             \
    constexpr long ITERS = 4'000'000;                                                                      \
    std::vector<double> t;                                                                                 \
    const F scale = SET1(0.999f), shift = SET1(0.001f);                                                    \
    for (int rep = 0; rep < 5; ++rep) {                                                                    \
        F acc[CHAINS];                                                                                     \
        for (F& a : acc) a = SET1(0.5f);                                                                   \
        const auto t0 = std::chrono::steady_clock::now();                                                  \
        for (long i = 0; i < ITERS; ++i)                                                                   \
            for (F& a : acc) a = ADD(MUL(a, scale), shift);                                                \
        const auto t1 = std::chrono::steady_clock::now();                                                  \
        float sink[16];                                                                                    \
        std::memcpy(sink, &acc[CHAINS - 1], sizeof(F));                                                    \
        if (sink[0] == 12345.0f) std::puts(""); /* keeps the chains alive */                               \
        t.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / (double(ITERS) * CHAINS)); \
    }                                                                                                      \
    std::sort(t.begin(), t.end());                                                                         \
    return t[2];

__attribute__((target("avx2"))) double ns_per_pair_256() {
    QOR_PAIRS_BODY(__m256, _mm256_set1_ps, _mm256_mul_ps, _mm256_add_ps)
}

__attribute__((target("avx512f"))) double ns_per_pair_512() {
    QOR_PAIRS_BODY(__m512, _mm512_set1_ps, _mm512_mul_ps, _mm512_add_ps)
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t q = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 8;
    const uint64_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
    const uint64_t len = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 50;
    const uint64_t n_docs = (uint64_t{256} << 20) / (len * dim * 4) + 1;  // 256 MiB of float32 rows
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> query(q * dim), rows(n_docs * len * dim);
    for (float& v : query) v = u(rng);
    for (float& v : rows) v = u(rng);
    std::vector<uint16_t> halves(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) halves[i] = to_half(rows[i]);
    std::vector<int64_t> offsets(n_docs + 1);
    for (uint64_t d = 0; d <= n_docs; ++d) offsets[d] = static_cast<int64_t>(d * len);
    std::vector<int64_t> streamed(n_docs), cached(n_docs), scattered;
    for (uint64_t d = 0; d < n_docs; ++d)
        streamed[d] = static_cast<int64_t>(d), cached[d] = static_cast<int64_t>(d % 8);
    std::bernoulli_distribution tenth(0.1);
    for (uint64_t d = 0; d < n_docs; ++d)
        if (tenth(rng)) scattered.push_back(static_cast<int64_t>(d));
    const char* data_name[3] = {"cached", "streamed", "scattered"};
    const std::vector<int64_t>* data_cands[3] = {&cached, &streamed, &scattered};
    std::vector<float> out(n_docs);
    qor::parallel::ThreadPool one(1);

    // Vector operations per candidate: one per dimension, row and vector of
    // query rows (8 lanes, or 16).
    for (const Isa isa : {Isa::Avx2, Isa::Avx512}) {
        if (!qor::parallel::isa_supported(isa)) continue;
        const bool wide = isa == Isa::Avx512;
        const double ns = wide ? ns_per_pair_512() : ns_per_pair_256();
        const uint64_t lanes = wide ? 16 : 8;
        const double ops = double((q + lanes - 1) / lanes) * double(dim) * double(len);
        std::printf("floor=%s ns_per_vector_op=%.3f us_per_candidate=%.3f\n", wide ? "512" : "256", ns,
                    ops * ns * 1e-3);
    }

    for (const Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512}) {
        if (!qor::parallel::isa_supported(isa)) continue;
        for (const bool half : {false, true})
            for (const int data : {0, 1, 2}) {
                const qor::StoreView store{half ? static_cast<const void*>(halves.data()) : rows.data(),
                                           half ? qor::RowType::Float16 : qor::RowType::Float32,
                                           n_docs * len,
                                           dim,
                                           offsets.data(),
                                           n_docs};
                const std::vector<int64_t>& cands = *data_cands[data];
                const std::size_t n = isa == Isa::Scalar ? cands.size() / 16 : cands.size();
                std::vector<double> t;
                for (int rep = 0; rep < 5; ++rep) {
                    const auto t0 = std::chrono::steady_clock::now();
                    qor::maxsim_scores(query.data(), q, store, {cands.data(), n}, out.data(), &one,
                                       qor::maxsim_kernel_for(isa));
                    const auto t1 = std::chrono::steady_clock::now();
                    t.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() /
                                static_cast<double>(n));
                }
                std::sort(t.begin(), t.end());
                std::printf(
                    "kernel=%s store=%s data=%s q=%llu dim=%llu us_per_candidate=%.3f ns_per_row=%.1f\n",
                    qor::parallel::isa_name(isa), half ? "f16" : "f32", data_name[data],
                    static_cast<unsigned long long>(q), static_cast<unsigned long long>(dim), t[2],
                    t[2] * 1e3 / static_cast<double>(len));
            }
    }
    return 0;
}
