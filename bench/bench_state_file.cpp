// Throughput of the state file on one core: writing and parsing the body,
// and save_state / load_state through a file, for a synthetic state shaped
// like a large index (default 200k documents x 64 tokens, 256 fine
// centroids of width 128, 32 coarse clusters, C_top of 3). Prints medians of
// several runs in MB/s of body text and the peak resident memory of a load.
//
//   bench_state_file [n_docs] [tokens_per_doc] [runs] [dir]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "state_file/state_file.hpp"

namespace {

qor::QorRouterState make_state(uint64_t n_docs, uint64_t tokens) {
    std::mt19937_64 rng(1);
    std::normal_distribution<float> normal;
    qor::QorRouterState s;
    auto& cb = s.codebook;
    cb.n_fine = 256;
    cb.dim = 128;
    cb.n_coarse = 32;
    for (uint64_t i = 0; i < cb.n_fine * cb.dim; ++i) cb.cquant.push_back(normal(rng) * 0.09f);
    for (uint64_t i = 0; i < cb.n_fine; ++i)
        cb.cindex_labels.push_back(static_cast<uint32_t>(i % cb.n_coarse));
    for (uint64_t i = 0; i < cb.n_fine * cb.n_fine; ++i)
        cb.centroid_dists.push_back(std::abs(normal(rng)) + 0.5f);
    for (uint64_t i = 0; i < cb.n_fine; ++i) cb.idf.push_back(std::abs(normal(rng)) * 0.3f);
    s.ctop_r = 3;
    s.postings.lists.resize(cb.n_coarse);
    s.postings.cluster_reps.resize(cb.n_coarse);
    for (uint64_t d = 0; d < n_docs; ++d) {
        qor::DocProfile p;
        for (uint64_t t = 0; t < tokens; ++t)
            p.centroid_ids.push_back(static_cast<uint32_t>(rng() % cb.n_fine));
        const uint32_t c0 = static_cast<uint32_t>(rng() % cb.n_coarse);
        for (uint32_t k = 0; k < 3; ++k) {
            const uint32_t c = (c0 + k * 7) % 32;
            p.ctop.push_back(c);
            if (s.postings.lists[c].empty()) s.postings.cluster_reps[c] = static_cast<uint32_t>(d);
            s.postings.lists[c].push_back(static_cast<uint32_t>(d));
        }
        s.flat_codes.offsets.push_back(static_cast<uint32_t>(s.flat_codes.codes.size()));
        s.flat_codes.lengths.push_back(static_cast<uint16_t>(tokens));
        for (uint32_t c : p.centroid_ids) s.flat_codes.codes.push_back(static_cast<uint16_t>(c));
        s.doc_profiles.push_back(std::move(p));
        s.doc_ids.push_back(rng());
    }
    return s;
}

template <class F>
double median_seconds(int runs, F&& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto a = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

double peak_rss_mb() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

}  // namespace

// Loads one file in a fresh process and prints its peak resident memory.
int load_peak(const char* path) {
    qor::PersistError err;
    auto s = qor::load_state(path, &err);
    if (!s) return 1;
    std::printf("%.1f\n", peak_rss_mb());
    return 0;
}

double child_load_peak(const std::string& path) {
    const std::string cmd = "/proc/" + std::to_string(::getpid()) + "/exe --load-peak " + path;
    FILE* f = ::popen(cmd.c_str(), "r");
    double mb = -1;
    if (f) {
        if (std::fscanf(f, "%lf", &mb) != 1) mb = -1;
        ::pclose(f);
    }
    return mb;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--load-peak") return load_peak(argv[2]);
    const uint64_t n_docs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const uint64_t tokens = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
    const std::string dir = argc > 4 ? argv[4] : "/tmp";
    const std::string path = dir + "/bench_state_file_" + std::to_string(::getpid()) + ".qorr";

    const qor::QorRouterState state = make_state(n_docs, tokens);
    const double rss_state = peak_rss_mb();
    std::string body = qor::write_state_json(state);
    const double mb = static_cast<double>(body.size()) / 1e6;
    std::printf("state: %llu docs x %llu tokens, body %.1f MB\n", static_cast<unsigned long long>(n_docs),
                static_cast<unsigned long long>(tokens), mb);

    const double t_write = median_seconds(runs, [&] { body = qor::write_state_json(state); });
    qor::PersistError err;
    const double t_parse = median_seconds(runs, [&] {
        auto s = qor::read_state_json(body, &err);
        if (!s || !(*s == state)) std::abort();
    });
    const double t_save = median_seconds(runs, [&] {
        if (qor::save_state(state, path)) std::abort();
    });
    body = std::string();
    const double t_load = median_seconds(runs, [&] {
        auto s = qor::load_state(path, &err);
        if (!s) std::abort();
    });
    const double load_peak_mb = child_load_peak(path);
    ::unlink(path.c_str());

    std::printf("write_state_json  %8.1f MB/s  (median %.3f s of %d)\n", mb / t_write, t_write, runs);
    std::printf("read_state_json   %8.1f MB/s  (median %.3f s of %d)\n", mb / t_parse, t_parse, runs);
    std::printf("save_state        %8.1f MB/s  (median %.3f s of %d, fsync included)\n", mb / t_save, t_save,
                runs);
    std::printf("load_state        %8.1f MB/s  (median %.3f s of %d, invariant check included)\n",
                mb / t_load, t_load, runs);
    std::printf("peak RSS of one load_state in a fresh process: %.0f MB (body %.0f MB, state %.0f MB)\n",
                load_peak_mb, mb, rss_state);
    return 0;
}
