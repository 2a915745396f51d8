// Codebook training time with the full-scan assignment and with the bounded
// one, on rows read from a raw float32 file (n x d, row-major): for each
// n_fine, trains both ways (full scan first, through QOR_KMEANS_FULL_SCAN=1),
// checks that the two codebooks are identical bit for bit, and prints one
// JSON line with both times (wall and CPU), the fine k-means's distance evaluations and
// changed labels per pass, and the peak resident memory so far.
//
//   bench_kmeans FILE N D ITERS FINE[,FINE...] [full|bounded|both]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codebook/codebook.hpp"
#include "codebook/kmeans.hpp"
#include "float_rows.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// User plus system time of every thread of this process so far.
double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

template <class T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

std::string join(const std::vector<uint64_t>& v) {
    std::string s;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i > 0) s += ',';
        s += std::to_string(v[i]);
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s FILE N D ITERS FINE[,FINE...] [full|bounded|both]\n", argv[0]);
        return 2;
    }
    const uint64_t n = std::strtoull(argv[2], nullptr, 10), d = std::strtoull(argv[3], nullptr, 10);
    const uint64_t iters = std::strtoull(argv[4], nullptr, 10);
    const std::string mode = argc > 6 ? argv[6] : "both";
    std::vector<float> rows;
    if (!qor::bench::read_float_rows(argv[1], n, d, rows)) return 1;

    for (const char* p = argv[5]; *p != '\0';) {
        char* end = nullptr;
        const uint64_t fine = std::strtoull(p, &end, 10);
        p = *end == ',' ? end + 1 : end;
        double full_s = -1.0, bounded_s = -1.0, full_cpu = -1.0, bounded_cpu = -1.0;
        qor::TwoStageCodebook full, bounded;
        qor::KMeansTrace trace;
        if (mode != "bounded") {
            setenv("QOR_KMEANS_FULL_SCAN", "1", 1);
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = cpu_seconds();
            full = qor::train_codebook(rows, n, d, fine, 32, iters);
            full_s = seconds_since(t0);
            full_cpu = cpu_seconds() - c0;
            unsetenv("QOR_KMEANS_FULL_SCAN");
        }
        if (mode != "full") {
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = cpu_seconds();
            bounded = qor::train_codebook(rows, n, d, fine, 32, iters, &trace);
            bounded_s = seconds_since(t0);
            bounded_cpu = cpu_seconds() - c0;
        }
        const bool identical = mode != "both" || (same_bytes(full.cquant, bounded.cquant) &&
                                                  same_bytes(full.cindex_labels, bounded.cindex_labels) &&
                                                  same_bytes(full.centroid_dists, bounded.centroid_dists));
        rusage ru{};
        getrusage(RUSAGE_SELF, &ru);
        std::printf(
            "{\"n\": %llu, \"d\": %llu, \"n_fine\": %llu, \"full_s\": %.3f, \"bounded_s\": %.3f, "
            "\"full_cpu_s\": %.3f, \"bounded_cpu_s\": %.3f, "
            "\"identical\": %s, \"evaluated\": [%s], \"changed\": [%s], \"kind\": \"%s\", \"max_rss_kb\": "
            "%ld}\n",
            static_cast<unsigned long long>(n), static_cast<unsigned long long>(d),
            static_cast<unsigned long long>(fine), full_s, bounded_s, full_cpu, bounded_cpu,
            identical ? "true" : "false", join(trace.evaluated).c_str(), join(trace.changed).c_str(),
            trace.kind.c_str(), ru.ru_maxrss);
        std::fflush(stdout);
    }
    return 0;
}
