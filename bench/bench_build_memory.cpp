// Peak resident memory of a router build against the size of its input:
// reads n x d float32 rows (raw, row-major) from FILE, cuts them into
// documents of 100 rows, builds, and prints one JSON line with the input
// bytes, the peak resident set before and after the build (ru_maxrss) and
// peak / input.
//
//   bench_build_memory FILE N D N_FINE ITERS
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "float_rows.hpp"
#include "router/router.hpp"

namespace {

long max_rss_kb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s FILE N D N_FINE ITERS\n", argv[0]);
        return 2;
    }
    const uint64_t n = std::strtoull(argv[2], nullptr, 10), d = std::strtoull(argv[3], nullptr, 10);
    const uint64_t n_fine = std::strtoull(argv[4], nullptr, 10), iters = std::strtoull(argv[5], nullptr, 10);
    std::vector<float> rows;
    if (!qor::bench::read_float_rows(argv[1], n, d, rows)) return 1;
    const long before = max_rss_kb();
    const uint64_t per_doc = 100, docs = n / per_doc;
    std::vector<uint64_t> ids(docs);
    std::vector<qor::DocRange> ranges(docs);
    for (uint64_t i = 0; i < docs; ++i) {
        ids[i] = i;
        ranges[i] = {i * per_doc, i * per_doc + per_doc};
    }
    qor::Router router(d);
    router.build(qor::MatrixRef::contiguous(rows.data(), n, d), ids, ranges, n_fine, 32, iters, 3);
    const long after = max_rss_kb();
    const double input = static_cast<double>(n * d * sizeof(float));
    std::printf(
        "{\"n\": %llu, \"d\": %llu, \"n_fine\": %llu, \"input_mib\": %.1f, \"rss_before_mib\": %.1f, "
        "\"peak_mib\": %.1f, \"peak_over_input\": %.3f}\n",
        static_cast<unsigned long long>(n), static_cast<unsigned long long>(d),
        static_cast<unsigned long long>(n_fine), input / 1048576.0, before / 1024.0, after / 1024.0,
        after * 1024.0 / input);
    return 0;
}
