// Worker pool costs: the fixed cost of one parallel_for (start, wake, join)
// and the speed-up of a compute-bound loop, each against a serial baseline
// measured in the same run. Prints medians of several repetitions.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "parallel/thread_pool.hpp"

using qor::parallel::ThreadPool;
using Clock = std::chrono::steady_clock;

namespace {

template <class F>
double median_seconds(int reps, F fn) {
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        const auto start = Clock::now();
        fn();
        t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Roughly 1 us of floating-point work per element, result kept per slot.
void work(std::vector<float>& out, std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
        float x = static_cast<float>(i);
        for (int k = 0; k < 400; ++k) x = std::sqrt(x * 1.0001f + 1.0f);
        out[i] = x;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t max_threads = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2;
    const int reps = 7;
    const int loops = 20000;
    std::vector<float> out(20000);

    // Serial baselines.
    const double empty_serial = median_seconds(reps,
                                               [&] {
                                                   for (int l = 0; l < loops; ++l) work(out, 0, 0);
                                               }) /
                                loops;
    const double compute_serial = median_seconds(reps, [&] { work(out, 0, out.size()); });
    const std::vector<float> reference = out;

    std::printf("threads  loop_overhead_us  round_trip_us  compute_ms  speedup_vs_serial  identical\n");
    std::printf("serial   %16.3f  %13s  %10.2f  %17.2f  %9s\n", empty_serial * 1e6, "-", compute_serial * 1e3,
                1.0, "-");
    for (std::size_t threads = 1; threads <= max_threads; ++threads) {
        ThreadPool pool(threads);
        // Two chunks, empty bodies: the whole cost is dispatch and join.
        const double overhead =
            median_seconds(reps,
                           [&] {
                               for (int l = 0; l < loops; ++l)
                                   pool.parallel_for(2, 1, [](std::size_t, std::size_t) {});
                           }) /
            loops;
        // One chunk per thread, each waiting for all: every worker must wake,
        // so this is the full wake-up and join latency.
        const int trips = 2000;
        const double round_trip =
            median_seconds(reps,
                           [&] {
                               for (int l = 0; l < trips; ++l) {
                                   std::atomic<std::size_t> arrived{0};
                                   pool.parallel_for(pool.threads(), 1, [&](std::size_t, std::size_t) {
                                       arrived.fetch_add(1);
                                       while (arrived.load() < pool.threads()) std::this_thread::yield();
                                   });
                               }
                           }) /
            trips;
        std::fill(out.begin(), out.end(), 0.0f);
        const double compute = median_seconds(reps, [&] {
            pool.parallel_for(out.size(), 64, [&](std::size_t b, std::size_t e) { work(out, b, e); });
        });
        std::printf("%7zu  %16.3f  %13.2f  %10.2f  %17.2f  %9s\n", threads, overhead * 1e6, round_trip * 1e6,
                    compute * 1e3, compute_serial / compute, out == reference ? "yes" : "NO");
    }
    return 0;
}
