// The worker pool: coverage of every index, exceptions, nesting, concurrent
// callers, forking, and how the pool size is read from the environment and
// the cgroup CPU quota.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/pool_size.hpp"
#include "parallel/thread_pool.hpp"

namespace fs = std::filesystem;
using namespace qor::parallel;
using qor::parallel::detail::cgroup_cpu_limit;
using qor::parallel::detail::parse_cfs_quota;
using qor::parallel::detail::parse_cpu_max;
using qor::parallel::detail::parse_thread_count;

namespace {

// An optional count as a printable number: -1 for "none".
long long val(std::optional<std::size_t> o) {
    return o ? static_cast<long long>(*o) : -1;
}

// Whether a loop over n visits every index exactly once in non-empty ranges
// of at most grain (0 counting as 1) elements.
bool visit_all_once(ThreadPool& pool, std::size_t n, std::size_t grain) {
    std::vector<std::atomic<int>> count(n);
    std::atomic<bool> bad_range{false};
    pool.parallel_for(n, grain, [&](std::size_t b, std::size_t e) {
        if (b >= e || e > n || e - b > std::max<std::size_t>(grain, 1)) bad_range = true;
        for (std::size_t i = b; i < e && i < n; ++i) count[i].fetch_add(1);
    });
    bool ok = !bad_range;
    for (auto& c : count) ok = ok && c.load() == 1;
    return ok;
}

// A per-index value that is cheap but not trivially uniform.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 31;
    x *= 0x9E3779B97F4A7C15ull;
    return x ^ (x >> 29);
}

// Runs fn in a forked child and returns its exit status (-1: killed, for
// instance by the alarm that stops a deadlocked child).
template <class F>
int in_child(F fn) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        _exit(fn());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(every_index_exactly_once) {
    // Zero threads means one; ranges around the grain and the thread count.
    struct Case {
        std::size_t threads, n, grain;
    };
    for (const Case c :
         {Case{0, 10, 3}, Case{1, 0, 5}, Case{1, 1000, 7}, Case{2, 1, 0}, Case{2, 7, 0}, Case{3, 100, 16},
          Case{3, 4097, 64}, Case{8, 64, 999}, Case{8, 1000, 1}, Case{8, 5, 1}}) {
        ThreadPool pool(c.threads);
        CHECK_EQ(pool.threads(), c.threads == 0 ? std::size_t{1} : c.threads);
        if (!visit_all_once(pool, c.n, c.grain))
            ::qortest::fail(__FILE__, __LINE__,
                            std::to_string(c.threads) + " threads, n " + std::to_string(c.n) + ", grain " +
                                std::to_string(c.grain));
    }
}

TEST(exception_reaches_caller_and_pool_survives) {
    for (std::size_t threads : {1, 2, 8}) {
        ThreadPool pool(threads);
        for (int round = 0; round < 5; ++round) {
            std::atomic<std::size_t> ran{0};
            CHECK_THROWS(pool.parallel_for(1000, 5,
                                           [&](std::size_t b, std::size_t) {
                                               ran.fetch_add(1);
                                               if (b == 500) throw std::runtime_error("chunk 100 failed");
                                           }),
                         std::runtime_error, "chunk 100 failed");
            // Alone, the caller stops at the failing chunk; with workers, how
            // many others start before the failure is seen depends on timing.
            if (threads == 1) CHECK_EQ(ran.load(), std::size_t{101});
            CHECK(visit_all_once(pool, 1000, 5));
        }
        // Every chunk throws: exactly one exception comes back.
        const auto always = [](std::size_t, std::size_t) { throw std::logic_error("each"); };
        CHECK_THROWS(pool.parallel_for(64, 1, always), std::logic_error, "each");
    }
}

TEST(nested_loops_run_inline) {
    ThreadPool pool(4);
    ScopedPool scope(pool);
    const std::size_t outer = 64, inner = 50;
    std::vector<std::uint64_t> out(outer * inner, 0);
    pool.parallel_for(outer, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const std::thread::id me = std::this_thread::get_id();
            std::atomic<bool> moved{false};
            parallel_for(inner, 3, [&](std::size_t ib, std::size_t ie) {
                if (std::this_thread::get_id() != me) moved = true;
                for (std::size_t j = ib; j < ie; ++j) out[i * inner + j] = mix(i * inner + j);
            });
            if (moved) throw std::runtime_error("nested loop left its thread");
        }
    });
    for (std::size_t k = 0; k < out.size(); ++k) CHECK_EQ(out[k], mix(k));
    // Nested use of a different pool is inline as well.
    ThreadPool other(3);
    std::atomic<std::size_t> total{0};
    pool.parallel_for(16, 1, [&](std::size_t, std::size_t) {
        other.parallel_for(100, 7, [&](std::size_t b, std::size_t e) { total.fetch_add(e - b); });
    });
    CHECK_EQ(total.load(), std::size_t{1600});
}

TEST(concurrent_callers_share_a_pool) {
    ThreadPool pool(3);
    std::atomic<int> failures{0};
    auto caller = [&](std::uint64_t salt) {
        for (int round = 0; round < 100; ++round) {
            std::vector<std::uint64_t> out(777, 0);
            pool.parallel_for(out.size(), 13, [&](std::size_t b, std::size_t e) {
                for (std::size_t i = b; i < e; ++i) out[i] = mix(i + salt);
            });
            for (std::size_t i = 0; i < out.size(); ++i)
                if (out[i] != mix(i + salt)) failures.fetch_add(1);
        }
    };
    std::thread a(caller, 1), b(caller, 100000);
    caller(5000);
    a.join();
    b.join();
    CHECK_EQ(failures.load(), 0);
}

TEST(available_parallelism_within_affinity) {
    const auto affinity = detail::affinity_cpu_count();
    CHECK(affinity.has_value());
    CHECK(available_parallelism() >= 1 && available_parallelism() <= affinity.value_or(0));
    CHECK_EQ(global_pool().threads(), configured_pool_size());
}

TEST(thread_count_parsing) {
    CHECK_EQ(val(parse_thread_count("1")), 1);
    CHECK_EQ(val(parse_thread_count("8")), 8);
    CHECK_EQ(val(parse_thread_count("016")), 16);
    for (const char* bad :
         {"", "0", "00", "-1", "+2", " 4", "4 ", "4\n", "4x", "x", "2.5", "0x10", "99999999999999999999999"})
        if (parse_thread_count(bad).has_value()) ::qortest::fail(__FILE__, __LINE__, bad);
    CHECK(!parse_thread_count(nullptr).has_value());
}

TEST(quota_file_parsing) {
    // Quota over period rounded down, at least one; "max", -1 and malformed
    // files set no cap.
    CHECK_EQ(val(parse_cpu_max("150000 100000")), 1);
    CHECK_EQ(val(parse_cpu_max("50000 100000\n")), 1);
    CHECK_EQ(val(parse_cfs_quota("300000\n", "100000\n")), 3);
    for (const char* none : {"max 100000\n", "", "abc 100000", "100000 0", "-5 100000"})
        if (parse_cpu_max(none).has_value()) ::qortest::fail(__FILE__, __LINE__, none);
    CHECK(!parse_cfs_quota("-1\n", "100000\n").has_value());
    CHECK(!parse_cfs_quota("300000", "0").has_value());
}

TEST(cgroup_hierarchies_are_walked) {
    const fs::path root = fs::temp_directory_path() / ("qor_cgroup_" + std::to_string(getpid()));
    fs::remove_all(root);
    auto write = [](const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    };
    // v2: own group unlimited, parent capped at 3, grandparent at 6.
    write(root / "v2/a/cpu.max", "600000 100000\n");
    write(root / "v2/a/b/cpu.max", "300000 100000\n");
    write(root / "v2/a/b/c/cpu.max", "max 100000\n");
    // v1 with a mount root: the container sees /docker/x as its root.
    write(root / "v1/cpu.cfs_quota_us", "200000\n");
    write(root / "v1/cpu.cfs_period_us", "100000\n");
    const std::string r = root.string();
    const std::string v2_mount = "41 31 0:38 / " + r + "/v2 rw,relatime - cgroup2 cgroup2 rw\n";
    const std::string v1_mount =
        "32 31 0:29 /docker/x " + r + "/v1 rw,relatime - cgroup cgroup rw,cpu,cpuacct\n";
    CHECK_EQ(val(cgroup_cpu_limit("0::/a/b/c\n", v2_mount)), 3);
    CHECK_EQ(val(cgroup_cpu_limit("4:cpu,cpuacct:/docker/x/svc\n", v1_mount)), 2);
    // A v1 path outside the mounted part of the hierarchy cannot be read.
    CHECK(!cgroup_cpu_limit("4:cpu,cpuacct:/elsewhere\n", v1_mount).has_value());
    // Hybrid layout: the smaller of the two caps wins.
    CHECK_EQ(val(cgroup_cpu_limit("4:cpu,cpuacct:/docker/x\n0::/a/b\n", v1_mount + v2_mount)), 2);
    // Blanks in mount points are escaped in mountinfo.
    write(root / "with space/cpu.max", "500000 100000\n");
    const std::string escaped = "41 31 0:38 / " + r + "/with\\040space rw - cgroup2 cgroup2 rw\n";
    CHECK_EQ(val(cgroup_cpu_limit("0::/\n", escaped)), 5);
    fs::remove_all(root);
}

TEST(fork_during_a_running_loop) {
    ThreadPool local(2);
    std::atomic<bool> started{false}, release{false};
    // Another thread keeps a loop running on the global pool (holding its
    // locks) and on a local pool while this thread forks.
    std::thread busy([&] {
        global_pool().parallel_for(8, 1, [&](std::size_t, std::size_t) {
            started = true;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int status = in_child([&] {
        std::atomic<std::size_t> sum{0};
        parallel_for(1000, 3, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) sum.fetch_add(i);
        });
        if (sum.load() != 999u * 1000u / 2u) return 5;
        // A pre-fork local pool and a ScopedPool on it still work.
        ScopedPool scope(local);
        std::atomic<std::size_t> count{0};
        parallel_for(100, 1, [&](std::size_t b, std::size_t e) { count.fetch_add(e - b); });
        return count.load() == 100 ? 0 : 6;
    });
    release = true;
    busy.join();
    CHECK_EQ(status, 0);
}

QORTEST_MAIN()
