#include "check.hpp"
#include "parallel/pool_size.hpp"
#include "parallel/thread_pool.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace qor::parallel;
using qor::parallel::detail::cgroup_cpu_limit;
using qor::parallel::detail::parse_cfs_quota;
using qor::parallel::detail::parse_cpu_max;
using qor::parallel::detail::parse_thread_count;

namespace {

// An optional count as a printable number: -1 for "none".
long long val(std::optional<std::size_t> o) { return o ? static_cast<long long>(*o) : -1; }

// How often each index was visited, and whether every range respected grain.
struct Visits {
    std::vector<std::atomic<int>> count;
    std::atomic<bool> bad_range{false};
    explicit Visits(std::size_t n) : count(n) {}
};

bool visit_all_once(ThreadPool& pool, std::size_t n, std::size_t grain) {
    Visits v(n);
    const std::size_t limit = grain == 0 ? 1 : grain;
    pool.parallel_for(n, grain, [&](std::size_t b, std::size_t e) {
        if (b >= e || e > n || e - b > limit) v.bad_range = true;
        for (std::size_t i = b; i < e && i < n; ++i) v.count[i].fetch_add(1);
    });
    bool ok = !v.bad_range;
    for (auto& c : v.count) ok = ok && c.load() == 1;
    return ok;
}

// A per-index value that is cheap but not trivially uniform.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 31;
    x *= 0x9E3779B97F4A7C15ull;
    return x ^ (x >> 29);
}

std::vector<std::uint64_t> fill(ThreadPool& pool, std::size_t n, std::size_t grain) {
    std::vector<std::uint64_t> out(n, 0);
    pool.parallel_for(n, grain, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = mix(i);
    });
    return out;
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
    for (std::size_t threads : {1, 2, 3, 8}) {
        ThreadPool pool(threads);
        CHECK_EQ(pool.threads(), threads);
        for (std::size_t n : {0, 1, 2, 7, 64, 100, 1000, 4097})
            for (std::size_t grain : {0, 1, 3, 16, 64, 999, 5000})
                if (!visit_all_once(pool, n, grain))
                    ::qortest::fail(__FILE__, __LINE__,
                                    "threads " + std::to_string(threads) + " n " + std::to_string(n) +
                                        " grain " + std::to_string(grain));
    }
}

TEST(workers_take_part) {
    // The caller's first chunk waits until another thread has run a chunk;
    // a pool whose workers never help would fail after the timeout.
    ThreadPool pool(4);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> helped{false};
    pool.parallel_for(64, 1, [&](std::size_t, std::size_t) {
        if (std::this_thread::get_id() != caller) {
            helped = true;
            return;
        }
        for (int i = 0; i < 10000 && !helped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    CHECK(helped.load());
}

TEST(zero_threads_means_one) {
    ThreadPool pool(0);
    CHECK_EQ(pool.threads(), std::size_t{1});
    CHECK(visit_all_once(pool, 10, 3));
}

TEST(results_identical_across_pool_sizes) {
    ThreadPool one(1), two(2), eight(8);
    for (std::size_t grain : {1, 7, 256}) {
        const auto ref = fill(one, 10007, grain);
        CHECK(fill(two, 10007, grain) == ref);
        CHECK(fill(eight, 10007, grain) == ref);
    }
    // The free function follows the ScopedPool of this thread.
    for (ThreadPool* p : {&one, &eight}) {
        ScopedPool scope(*p);
        std::vector<std::uint64_t> out(5000);
        parallel_for(out.size(), 10, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) out[i] = mix(i);
        });
        CHECK(out == fill(one, 5000, 10));
    }
}

TEST(exception_reaches_caller_and_pool_survives) {
    for (std::size_t threads : {1, 2, 8}) {
        ThreadPool pool(threads);
        for (int round = 0; round < 20; ++round) {
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
        // Every chunk throws: exactly one exception comes back, nothing else.
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
    ThreadPool one(1);
    CHECK(out == fill(one, outer * inner, 1));
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
        for (int round = 0; round < 200; ++round) {
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
    const std::size_t n = available_parallelism();
    CHECK(n >= 1);
    const auto affinity = detail::affinity_cpu_count();
    CHECK(affinity.has_value());
    if (affinity) CHECK(n <= *affinity);
    CHECK(configured_pool_size() >= 1);
    CHECK_EQ(global_pool().threads(), configured_pool_size());
    CHECK(&global_pool() == &global_pool());
}

TEST(thread_count_parsing) {
    CHECK_EQ(val(parse_thread_count("1")), 1);
    CHECK_EQ(val(parse_thread_count("8")), 8);
    CHECK_EQ(val(parse_thread_count("016")), 16);
    for (const char* bad : {"", "0", "00", "-1", "+2", " 4", "4 ", "4\n", "4x", "x", "2.5", "0x10",
                            "99999999999999999999999"})
        if (parse_thread_count(bad).has_value()) ::qortest::fail(__FILE__, __LINE__, bad);
    CHECK(!parse_thread_count(nullptr).has_value());
}

TEST(quota_file_parsing) {
    CHECK(!parse_cpu_max("max 100000\n").has_value());
    CHECK_EQ(val(parse_cpu_max("200000 100000\n")), 2);
    CHECK_EQ(val(parse_cpu_max("150000 100000")), 1);  // rounded down
    CHECK_EQ(val(parse_cpu_max("50000 100000\n")), 1);  // at least one
    CHECK_EQ(val(parse_cpu_max("400000 100000")), 4);
    for (const char* bad : {"", "abc 100000", "100000 0", "-5 100000"})
        if (parse_cpu_max(bad).has_value()) ::qortest::fail(__FILE__, __LINE__, bad);
    CHECK(!parse_cfs_quota("-1\n", "100000\n").has_value());
    CHECK_EQ(val(parse_cfs_quota("300000\n", "100000\n")), 3);
    CHECK_EQ(val(parse_cfs_quota("25000\n", "100000\n")), 1);
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
    write(root / "v2/cpu.max", "max 100000\n");
    write(root / "v2/a/cpu.max", "600000 100000\n");
    write(root / "v2/a/b/cpu.max", "300000 100000\n");
    write(root / "v2/a/b/c/cpu.max", "max 100000\n");
    // v1 with a mount root: the container sees /docker/x as its root.
    write(root / "v1/cpu.cfs_quota_us", "200000\n");
    write(root / "v1/cpu.cfs_period_us", "100000\n");
    write(root / "v1/svc/cpu.cfs_quota_us", "-1\n");
    write(root / "v1/svc/cpu.cfs_period_us", "100000\n");
    const std::string r = root.string();
    const std::string v2_mount = "41 31 0:38 / " + r + "/v2 rw,relatime - cgroup2 cgroup2 rw\n";
    const std::string v1_mount =
        "32 31 0:29 /docker/x " + r + "/v1 rw,relatime - cgroup cgroup rw,cpu,cpuacct\n";

    CHECK_EQ(val(cgroup_cpu_limit("0::/a/b/c\n", v2_mount)), 3);
    CHECK_EQ(val(cgroup_cpu_limit("0::/a\n", v2_mount)), 6);
    CHECK(!cgroup_cpu_limit("0::/\n", v2_mount).has_value());
    CHECK(!cgroup_cpu_limit("0::/missing/group\n", "").has_value());
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

TEST(forked_child_gets_a_working_pool) {
    // Use the global pool in the parent first so the child inherits it.
    std::vector<std::uint64_t> parent(5000, 0);
    parallel_for(parent.size(), 7, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) parent[i] = mix(i);
    });
    const int status = in_child([&] {
        std::vector<std::uint64_t> child(5000, 0);
        for (int round = 0; round < 3; ++round)
            parallel_for(child.size(), 7, [&](std::size_t b, std::size_t e) {
                for (std::size_t i = b; i < e; ++i) child[i] = mix(i);
            });
        if (child != parent) return 3;
        // A pool built before the fork still computes (inline) in the child.
        return global_pool().threads() == configured_pool_size() ? 0 : 4;
    });
    CHECK_EQ(status, 0);
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
