// How many threads the pool runs: the processors available to the process
// and the environment override. The parsers and readers in `detail`, which
// work out the CPU quota of the process's control group, are private to
// src/parallel and its tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qor::parallel {

// Processors available to this process: the affinity mask, capped by the
// cgroup CPU quota (v2 cpu.max or v1 CFS quota), at least 1.
std::size_t available_parallelism();

// The pool size the process-wide pool uses: RAYON_NUM_THREADS when it holds
// a positive integer, otherwise available_parallelism().
std::size_t configured_pool_size();

}  // namespace qor::parallel

namespace qor::parallel::detail {

// A thread count as written in RAYON_NUM_THREADS: decimal digits only (no
// sign, no surrounding whitespace), value at least 1 and representable.
// Anything else (null, empty, "0", "-2", " 4", "4x", overflow) is nullopt, and
// the caller falls back to the processors available.
std::optional<std::size_t> parse_thread_count(const char* text);

// The CPU cap of a cgroup v2 cpu.max file ("max 100000" or "150000 100000"):
// quota / period rounded down, at least 1; nullopt for "max" or a malformed
// file (no cap).
std::optional<std::size_t> parse_cpu_max(std::string_view contents);

// The CPU cap of a cgroup v1 CFS quota pair (cpu.cfs_quota_us,
// cpu.cfs_period_us): quota / period rounded down, at least 1; nullopt for
// "-1" (unlimited) or malformed input.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// The smallest CPU cap over the process's cgroup and its ancestors, for both
// the v2 hierarchy and a v1 hierarchy carrying the cpu controller. The
// arguments are the texts of /proc/self/cgroup and /proc/self/mountinfo;
// the quota files are read at the mount points those name. nullopt: no cap.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup, std::string_view mountinfo);

// Processors in this thread's scheduler affinity mask (any number of CPUs);
// nullopt when the mask cannot be read.
std::optional<std::size_t> affinity_cpu_count();

// The whole contents of a small text file, or nullopt when it cannot be read.
std::optional<std::string> read_text_file(const std::string& path);

}  // namespace qor::parallel::detail
