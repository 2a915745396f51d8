// Assignment throughput of the nearest-centroid kernels: rows x centroids x
// dimensions per second for the scalar reference and every vector kernel
// the processor supports, on 1 and 2 threads; optionally one full k-means
// pass. Prints one line per configuration:
//   kernel=<isa> threads=<t> n=<rows> k=<centroids> d=<dims> median_s=<s> gelem_per_s=<G>
// Usage: bench_assign [n] [d] [k] [reps] [--kmeans-rows N]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codebook/kmeans.hpp"
#include "codebook/nearest.hpp"
#include "common/matrix.hpp"
#include "parallel/thread_pool.hpp"

using qor::parallel::Isa;

namespace {

std::vector<float> unit_rows(std::size_t n, std::size_t d, uint64_t seed) {
    std::vector<float> v(n * d);
    uint64_t s = seed * 0x9E3779B97F4A7C15ULL + 11;
    for (float& x : v) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        x = static_cast<float>(static_cast<int64_t>(s >> 40) - (int64_t{1} << 23)) / 8388608.0f;
    }
    return qor::normalize_rows(qor::MatrixRef::contiguous(v.data(), n, d));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

template <class F>
double time_once(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<Isa> supported_isas() {
    std::vector<Isa> out{Isa::Scalar};
    for (const Isa isa : {Isa::Avx2, Isa::Avx512})
        if (qor::parallel::isa_supported(isa)) out.push_back(isa);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t n = 200000, d = 128, k = 256, reps = 7, kmeans_rows = 0;
    std::vector<std::size_t*> positional = {&n, &d, &k, &reps};
    std::size_t next = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--kmeans-rows") == 0 && i + 1 < argc) {
            kmeans_rows = std::strtoull(argv[++i], nullptr, 10);
        } else if (next < positional.size()) {
            *positional[next++] = std::strtoull(argv[i], nullptr, 10);
        }
    }
    const auto rows = unit_rows(n, d, 1);
    const auto cents = unit_rows(k, d, 2);
    std::vector<uint32_t> reference;

    for (const Isa isa : supported_isas()) {
        // The scalar loop is an order of magnitude slower: time a slice.
        const std::size_t rows_used = isa == Isa::Scalar ? std::max<std::size_t>(1, n / 20) : n;
        for (const std::size_t threads : {1, 2}) {
            qor::parallel::ThreadPool pool(threads);
            qor::parallel::ScopedPool guard(pool);
            const qor::PreparedCentroids prepared(cents.data(), k, d, isa);
            std::vector<uint32_t> out(rows_used);
            prepared.nearest_parallel(rows.data(), rows_used, out.data());  // warm-up
            std::vector<double> times;
            for (std::size_t r = 0; r < reps; ++r)
                times.push_back(
                    time_once([&] { prepared.nearest_parallel(rows.data(), rows_used, out.data()); }));
            if (reference.empty()) reference = out;
            if (!std::equal(reference.begin(), reference.end(), out.begin())) {
                std::fprintf(stderr, "kernel %s disagrees with the scalar reference\n",
                             qor::parallel::isa_name(isa));
                return 1;
            }
            const double med = median(times);
            const double elems =
                static_cast<double>(rows_used) * static_cast<double>(k) * static_cast<double>(d);
            std::printf("kernel=%s threads=%zu n=%zu k=%zu d=%zu median_s=%.6f gelem_per_s=%.2f\n",
                        qor::parallel::isa_name(isa), threads, rows_used, k, d, med, elems / med / 1e9);
            std::fflush(stdout);
        }
    }

    if (kmeans_rows > 0) {
        // One k-means pass: seeding, one parallel assignment and one update,
        // on the process-wide pool.
        const auto data = unit_rows(kmeans_rows, d, 3);
        std::vector<double> times;
        for (std::size_t r = 0; r < std::max<std::size_t>(3, reps / 2); ++r)
            times.push_back(time_once([&] {
                const auto res =
                    qor::kmeans(qor::MatrixRef::contiguous(data.data(), kmeans_rows, d), k, 1, 42);
                if (res.labels.size() != kmeans_rows) std::abort();
            }));
        std::printf("kmeans_pass n=%zu k=%zu d=%zu threads=%zu median_s=%.4f\n", kmeans_rows, k, d,
                    qor::parallel::global_pool().threads(), median(times));
    }
    return 0;
}
