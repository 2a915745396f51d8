// Time of the query-by-centroid similarity product (code-major output, as
// route_query writes it) per kernel, on one thread and on the whole pool.
//   build/bench/bench_similarity [query rows] [dim]
// prints: kernel=<isa> threads=<t> q=<rows> n_fine=<n> dim=<d> median_us=<us> gflops=<G>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "parallel/thread_pool.hpp"
#include "router/similarity.hpp"

namespace {

using qor::parallel::Isa;

double median_us(const std::vector<float>& query, uint64_t q, const std::vector<float>& cents, uint64_t n,
                 uint64_t dim, std::vector<float>& out, qor::SimilarityKernel kernel, int reps) {
    std::vector<double> t;
    for (int rep = 0; rep < reps; ++rep) {
        const auto t0 = std::chrono::steady_clock::now();
        qor::similarity_code_major(query.data(), q, cents.data(), n, dim, out.data(), kernel);
        const auto t1 = std::chrono::steady_clock::now();
        t.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t q = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 32;
    const uint64_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> query(q * dim);
    for (float& v : query) v = u(rng);
    std::vector<std::size_t> thread_counts{1};
    if (qor::parallel::configured_pool_size() > 1)
        thread_counts.push_back(qor::parallel::configured_pool_size());
    for (const uint64_t n : {uint64_t{256}, uint64_t{4096}, uint64_t{65536}}) {
        std::vector<float> cents(n * dim);
        for (float& v : cents) v = u(rng);
        std::vector<float> out((n + 1) * qor::code_major_stride(q));
        const int reps = n >= 65536 ? 9 : 51;
        for (const Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512}) {
            if (!qor::parallel::isa_supported(isa)) continue;
            for (const std::size_t threads : thread_counts) {
                qor::parallel::ThreadPool pool(threads);
                qor::parallel::ScopedPool scope(pool);
                const double us = median_us(query, q, cents, n, dim, out, qor::similarity_kernel_for(isa),
                                            isa == Isa::Scalar ? 5 : reps);
                std::printf("kernel=%s threads=%zu q=%llu n_fine=%llu dim=%llu median_us=%.1f gflops=%.2f\n",
                            qor::parallel::isa_name(isa), threads, static_cast<unsigned long long>(q),
                            static_cast<unsigned long long>(n), static_cast<unsigned long long>(dim), us,
                            2.0 * static_cast<double>(q * n * dim) / us / 1e3);
            }
        }
    }
    return 0;
}
