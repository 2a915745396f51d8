// Per-document cost of the proxy distance: the code-major kernels against
// the row-major scalar distance, on random similarities and codes.
//   build-*/bench_route_kernels [q] [codes per document]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "codebook/proxy_distance.hpp"
#include "router/scoring.hpp"

namespace {

template <class F>
double median_ns_per_doc(F&& run, std::size_t docs) {
    std::vector<double> t;
    for (int rep = 0; rep < 9; ++rep) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const auto t1 = std::chrono::steady_clock::now();
        t.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(docs));
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t q = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 32;
    const std::size_t len = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64;
    const uint64_t n_fine = 256;
    const std::size_t docs = 20000;
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> sims(q * n_fine);
    for (float& v : sims) v = u(rng);
    std::vector<uint16_t> codes(docs * len);
    std::uniform_int_distribution<int> code(0, static_cast<int>(n_fine) - 1);
    for (uint16_t& c : codes) c = static_cast<uint16_t>(code(rng));
    const qor::CodeMajorSims cm = qor::to_code_major(sims.data(), q, n_fine);

    volatile float sink = 0.0f;
    qor::DocCodes batch[32];
    std::vector<float> w_out(docs);
    float* w = w_out.data();
    const double row_major = median_ns_per_doc(
        [&] {
            float acc = 0.0f;
            for (std::size_t d = 0; d < docs; ++d)
                acc += qor::proxy_distance(sims, q, n_fine,
                                           std::span<const uint16_t>(codes.data() + d * len, len));
            sink = acc;
        },
        docs);
    std::printf("q=%llu codes=%zu, one thread, ns per document (median of 9 runs over %zu documents)\n",
                static_cast<unsigned long long>(q), len, docs);
    std::printf("  row-major proxy_distance      %8.1f\n", row_major);
    struct K {
        const char* name;
        qor::ProxyKernel fn;
        bool ok;
    };
    using qor::parallel::Isa;
    const K kernels[] = {
        {"code-major scalar", &qor::proxy_distances_code_major_scalar, true},
        {"code-major avx2", qor::proxy_kernel_for(Isa::Avx2), qor::parallel::isa_supported(Isa::Avx2)},
        {"code-major avx512", qor::proxy_kernel_for(Isa::Avx512), qor::parallel::isa_supported(Isa::Avx512)},
    };
    for (const K& k : kernels) {
        if (!k.ok) continue;
        const double ns = median_ns_per_doc(
            [&] {
                // Batches of 32, as the router hands them over.
                for (std::size_t b = 0; b < docs; b += 32) {
                    const std::size_t n = std::min<std::size_t>(32, docs - b);
                    for (std::size_t i = 0; i < n; ++i) batch[i] = {codes.data() + (b + i) * len, len};
                    k.fn(cm.data.data(), cm.stride, q, n_fine, batch, n, w + b);
                }
                sink = w[docs - 1];
            },
            docs);
        std::printf("  %-28s  %8.1f   (%.1fx faster than row-major)\n", k.name, ns, row_major / ns);
    }
    (void)sink;
    return 0;
}
