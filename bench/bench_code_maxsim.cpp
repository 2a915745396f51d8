// Approximate MaxSim on residual codes per kernel on one thread:
// microseconds per candidate of 50 vectors at 1, 2 and 4 bits, the codes in
// cache (a few documents scored many times), streamed from memory (every
// document of a store larger than the caches, once per pass, in order) and
// scattered (a random tenth of them, in increasing order, as a search reads
// its candidates), and the per-query cost of building the lookup tables.
//   build/bench/bench_code_maxsim [query rows] [dim] [vectors per document] [n_fine]
// prints: kernel=<isa> bits=<b> data=<cached|streamed|scattered> q=<rows> dim=<d> bytes_per_vector=<n>
//         us_per_candidate=<us> cpu_us_per_candidate=<us> tables_us=<us>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "codes/code_maxsim.hpp"
#include "codes/residual_codes.hpp"
#include "parallel/thread_pool.hpp"

namespace {

using qor::parallel::Isa;
using Clock = std::chrono::steady_clock;

// CPU time of the calling thread in microseconds: on a shared machine it
// leaves out the time other processes hold the core.
double thread_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) * 1e-3;
}

double median(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t q = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 8;
    const uint64_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
    const uint64_t len = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 50;
    const uint64_t n_fine = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 4096;
    const uint64_t n_docs = (uint64_t{128} << 20) / (len * (dim / 2 + 2)) + 1;  // 128 MiB of 4-bit codes
    const uint64_t n_rows = n_docs * len;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> query(q * dim), centroids(n_fine * dim), sample(4096 * dim);
    for (float& v : query) v = u(rng);
    for (float& v : centroids) v = u(rng);
    for (float& v : sample) v = u(rng);
    std::vector<uint16_t> fine(n_rows);
    for (uint16_t& c : fine) c = static_cast<uint16_t>(rng() % n_fine);
    std::vector<uint8_t> residual(n_rows * qor::residual_bytes(dim, 4));
    for (uint8_t& b : residual) b = static_cast<uint8_t>(rng());
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
    const qor::CentroidView cv{centroids.data(), n_fine, dim};

    for (const uint32_t bits : {1u, 2u, 4u}) {
        const qor::ResidualQuantiser qz =
            qor::train_residual_quantiser(cv, sample.data(), 4096, bits, 4096, 1, &one);
        std::vector<double> tables;
        for (int rep = 0; rep < 5; ++rep) {
            const auto t0 = Clock::now();
            const qor::CodeQueryTables t = qor::build_code_tables(query.data(), q, cv, qz);
            tables.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            if (t.groups == 0) return 1;  // keeps the build from being optimised away
        }
        const qor::CodeStoreView store{fine.data(), residual.data(), n_rows, offsets.data(), n_docs};
        for (const Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512}) {
            if (!qor::parallel::isa_supported(isa)) continue;
            for (const int data : {0, 1, 2}) {
                const std::vector<int64_t>& cands = *data_cands[data];
                const std::size_t n = isa == Isa::Scalar ? cands.size() / 16 : cands.size();
                std::vector<double> t, cpu;
                for (int rep = 0; rep < 5; ++rep) {
                    const auto t0 = Clock::now();
                    const double c0 = thread_cpu_us();
                    qor::code_maxsim_scores(query.data(), q, cv, qz, store, {cands.data(), n}, out.data(),
                                            &one, qor::code_maxsim_kernel_for(isa));
                    cpu.push_back((thread_cpu_us() - c0) / static_cast<double>(n));
                    t.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() /
                                static_cast<double>(n));
                }
                std::printf(
                    "kernel=%s bits=%u data=%s q=%llu dim=%llu bytes_per_vector=%llu us_per_candidate=%.3f "
                    "cpu_us_per_candidate=%.3f tables_us=%.0f\n",
                    qor::parallel::isa_name(isa), bits, data_name[data], static_cast<unsigned long long>(q),
                    static_cast<unsigned long long>(dim),
                    static_cast<unsigned long long>(2 + qor::residual_bytes(dim, bits)), median(t),
                    median(cpu), median(tables));
            }
        }
    }
    return 0;
}
