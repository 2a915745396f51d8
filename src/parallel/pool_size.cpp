// Pool sizing: the affinity mask capped by the cgroup CPU quota, and the
// RAYON_NUM_THREADS override.
#include "parallel/pool_size.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

namespace qor::parallel {
namespace detail {

namespace {

std::string_view trim(std::string_view s) {
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// A non-negative decimal integer that fills the whole text.
std::optional<unsigned long long> parse_unsigned(std::string_view s) {
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    unsigned long long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::size_t at_least_one(unsigned long long quota, unsigned long long period) {
    const unsigned long long cpus = quota / period;
    if (cpus == 0) return 1;
    return cpus > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                          : static_cast<std::size_t>(cpus);
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            out.push_back(s.substr(start));
            return out;
        }
        out.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

// mountinfo escapes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape_octal(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const std::string_view digits = s.substr(i + 1, 3);
            bool octal = true;
            for (char c : digits) octal = octal && c >= '0' && c <= '7';
            if (octal) {
                out.push_back(static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) |
                                                (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

struct Mount {
    std::string root;        // the path inside the hierarchy that is mounted
    std::string mountpoint;  // where it is mounted
};

// The first mount of the v2 hierarchy (want_v1 false) or of a v1 hierarchy
// whose super options include the cpu controller (want_v1 true).
std::optional<Mount> find_cgroup_mount(std::string_view mountinfo, bool want_v1) {
    for (std::string_view line : split(mountinfo, '\n')) {
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        std::vector<std::string_view> head;
        for (std::string_view f : split(line.substr(0, dash), ' '))
            if (!f.empty()) head.push_back(f);
        std::vector<std::string_view> tail;
        for (std::string_view f : split(line.substr(dash + 3), ' '))
            if (!f.empty()) tail.push_back(f);
        if (head.size() < 5 || tail.size() < 1) continue;
        const std::string_view fstype = tail[0];
        if (!want_v1) {
            if (fstype != "cgroup2") continue;
        } else {
            if (fstype != "cgroup" || tail.size() < 3) continue;
            bool has_cpu = false;
            for (std::string_view opt : split(tail[2], ',')) has_cpu = has_cpu || opt == "cpu";
            if (!has_cpu) continue;
        }
        return Mount{unescape_octal(head[3]), unescape_octal(head[4])};
    }
    return std::nullopt;
}

// The cgroup path of this process in the v2 hierarchy ("0::/path") or in the
// v1 hierarchy that carries the cpu controller ("N:cpu,cpuacct:/path").
std::optional<std::string> find_cgroup_path(std::string_view proc_self_cgroup, bool want_v1) {
    for (std::string_view line : split(proc_self_cgroup, '\n')) {
        const std::size_t c1 = line.find(':');
        if (c1 == std::string_view::npos) continue;
        const std::size_t c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, c1);
        const std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
        const std::string_view path = line.substr(c2 + 1);
        if (!want_v1) {
            if (id == "0" && controllers.empty()) return std::string(path);
        } else {
            for (std::string_view c : split(controllers, ','))
                if (c == "cpu") return std::string(path);
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> min_cap(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// Walks from the process's cgroup directory up to the mount point, taking the
// smallest cap found: a parent's quota limits its children too.
std::optional<std::size_t> hierarchy_limit(std::string_view proc_self_cgroup, std::string_view mountinfo,
                                           bool v1) {
    const auto mount = find_cgroup_mount(mountinfo, v1);
    const auto path = find_cgroup_path(proc_self_cgroup, v1);
    if (!mount || !path) return std::nullopt;
    // The path is relative to the hierarchy root; the mount shows mount->root
    // of it. A path outside the mounted part cannot be read.
    std::string_view rel = *path;
    std::string_view root = mount->root;
    if (root != "/") {
        if (rel.substr(0, root.size()) != root || (rel.size() > root.size() && rel[root.size()] != '/'))
            return std::nullopt;
        rel.remove_prefix(root.size());
    }
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);

    std::optional<std::size_t> cap;
    std::string dir(rel);
    for (;;) {
        const std::string base = dir.empty() ? mount->mountpoint : mount->mountpoint + "/" + dir;
        if (!v1) {
            if (const auto text = read_text_file(base + "/cpu.max")) cap = min_cap(cap, parse_cpu_max(*text));
        } else {
            const auto quota = read_text_file(base + "/cpu.cfs_quota_us");
            const auto period = read_text_file(base + "/cpu.cfs_period_us");
            if (quota && period) cap = min_cap(cap, parse_cfs_quota(*quota, *period));
        }
        if (dir.empty()) break;
        const std::size_t slash = dir.rfind('/');
        dir = slash == std::string::npos ? std::string() : dir.substr(0, slash);
    }
    return cap;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    const auto v = parse_unsigned(text);
    if (!v || *v == 0 || *v > std::numeric_limits<std::size_t>::max()) return std::nullopt;
    return static_cast<std::size_t>(*v);
}

std::optional<std::size_t> parse_cpu_max(std::string_view contents) {
    std::vector<std::string_view> fields;
    for (std::string_view f : split(trim(contents), ' '))
        if (!f.empty()) fields.push_back(f);
    if (fields.empty() || fields[0] == "max") return std::nullopt;
    const auto quota = parse_unsigned(fields[0]);
    // The kernel always writes the period; 100000 us is its default.
    const auto period =
        fields.size() >= 2 ? parse_unsigned(fields[1]) : std::optional<unsigned long long>(100000);
    if (!quota || !period || *period == 0) return std::nullopt;
    return at_least_one(*quota, *period);
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
    const auto q = parse_unsigned(trim(quota));  // "-1" (unlimited) fails here
    const auto p = parse_unsigned(trim(period));
    if (!q || !p || *q == 0 || *p == 0) return std::nullopt;
    return at_least_one(*q, *p);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup, std::string_view mountinfo) {
    return min_cap(hierarchy_limit(proc_self_cgroup, mountinfo, false),
                   hierarchy_limit(proc_self_cgroup, mountinfo, true));
}

std::optional<std::size_t> affinity_cpu_count() {
    // Grow the set until the kernel's mask fits: machines may have more CPUs
    // than the fixed cpu_set_t holds.
    for (int ncpus = 1024; ncpus <= (1 << 22); ncpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(ncpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t size = CPU_ALLOC_SIZE(ncpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            if (count <= 0) return std::nullopt;
            return static_cast<std::size_t>(count);
        }
        const int err = errno;
        CPU_FREE(set);
        if (err != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

}  // namespace detail

std::size_t available_parallelism() {
    std::size_t cpus = 0;
    if (const auto n = detail::affinity_cpu_count()) {
        cpus = *n;
    } else {
        cpus = std::thread::hardware_concurrency();
    }
    if (cpus == 0) cpus = 1;
    const auto cgroup = detail::read_text_file("/proc/self/cgroup");
    const auto mountinfo = detail::read_text_file("/proc/self/mountinfo");
    if (cgroup && mountinfo) {
        if (const auto cap = detail::cgroup_cpu_limit(*cgroup, *mountinfo)) cpus = std::min(cpus, *cap);
    }
    return cpus;
}

std::size_t configured_pool_size() {
    // Read once: later changes to the environment do not resize anything.
    // The variable's name is pinned for compatibility: deployments already
    // set RAYON_NUM_THREADS to size this pool.
    static const std::size_t size = [] {
        if (const auto n = detail::parse_thread_count(std::getenv("RAYON_NUM_THREADS"))) return *n;
        return available_parallelism();
    }();
    return size;
}

}  // namespace qor::parallel
