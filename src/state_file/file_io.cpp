// Saving and loading state files: directory creation, the locked temporary
// file and rename, the header, and reads and writes with EINTR retried.
//
// Every blocking step (open, which waits for a peer on a FIFO; the lock; read
// and write, which wait on pipes) asks the caller whether to stop when a
// signal interrupts it, and large transfers go in chunks with the same
// question in between; a stop is reported as EINTR, so save removes its
// temporary file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "parallel/call_hooks.hpp"
#include "state_file/state_file.hpp"

namespace qor {

namespace {

// Largest single read or write, so that a stop request is seen between
// chunks of a large file.
constexpr std::size_t IO_CHUNK = std::size_t{4} << 20;

// "save: wrote 1234567 bytes in 0.12 s (10.3 MB/s)".
std::string rate_line(const char* verb, uint64_t bytes, std::chrono::steady_clock::time_point start) {
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s %llu bytes in %.2f s (%.1f MB/s)", verb,
                  static_cast<unsigned long long>(bytes), s,
                  s > 0 ? static_cast<double>(bytes) / s / 1e6 : 0.0);
    return buf;
}

constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
constexpr const char* kShortRead = "failed to fill whole buffer";

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Drops trailing separators and "." components: "a/b/" and "a/b/." name a/b.
std::string_view trim_tail(std::string_view p) {
    for (;;) {
        while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
        if (p.size() >= 2 && p.substr(p.size() - 2) == "/.") {
            p.remove_suffix(1);
            continue;
        }
        return p;
    }
}

// The parent of `p`: "" when it has a single component, nothing when it is
// empty or the root.
std::optional<std::string> parent_of(std::string_view p) {
    p = trim_tail(p);
    if (p.empty() || p == "/") return std::nullopt;
    const std::size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    if (slash == 0) return std::string("/");
    std::string_view parent = p.substr(0, slash);
    while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
    return std::string(trim_tail(parent));
}

// Creates `dir` and its missing ancestors with mode 0777 (less the umask):
// walks up until a directory exists or is created, then creates the missing
// ones top down. Directories that appear meanwhile are accepted.
std::optional<PersistError> create_dir_all(const std::string& dir) {
    std::vector<std::string> missing;
    std::string cur = dir;
    while (!cur.empty()) {
        if (::mkdir(cur.c_str(), 0777) == 0) break;
        const int err = errno;
        if (err == ENOENT) {
            missing.push_back(cur);
            auto up = parent_of(cur);
            if (!up) return PersistError::io("failed to create whole tree");
            cur = std::move(*up);
            continue;
        }
        if (is_directory(cur)) break;
        return PersistError::os(err);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) == 0) continue;
        const int err = errno;
        if (!is_directory(*it)) return PersistError::os(err);
    }
    return std::nullopt;
}

// Writes all of [data, data + n); interrupted writes are retried. Every byte
// of a save goes through this loop.
std::optional<PersistError> write_all(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, std::min(n, IO_CHUNK));
        if (w < 0) {
            if (errno == EINTR && !interrupt_requested()) continue;
            return PersistError::os(errno);
        }
        if (w == 0) return PersistError::io("failed to write whole buffer");
        data += w;
        n -= static_cast<std::size_t>(w);
        if (n > 0 && interrupt_requested()) return PersistError::os(EINTR);
    }
    return std::nullopt;
}

// Fills [dst, dst + n) or fails with "failed to fill whole buffer" at end of
// file; interrupted reads are retried. Every byte of a load comes through
// this loop.
std::optional<PersistError> read_exact(int fd, char* dst, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, dst, std::min(n, IO_CHUNK));
        if (r < 0) {
            if (errno == EINTR && !interrupt_requested()) continue;
            return PersistError::os(errno);
        }
        if (r == 0) return PersistError::io(kShortRead);
        dst += r;
        n -= static_cast<std::size_t>(r);
        if (n > 0 && interrupt_requested()) return PersistError::os(EINTR);
    }
    return std::nullopt;
}

// An open descriptor, closed when it goes out of scope unless closed before.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { close(); }

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    // An error from closing a file only read changes nothing.
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// The locked temporary file of one save. Unless commit() is called once it
// has been renamed over the target, leaving the scope (by an error return
// or an exception) removes the file while its lock is still held, so a save
// waiting for the lock sees the path change and starts on a fresh file. On
// every path the lock is then released and the descriptor closed. The lock
// is released explicitly because a child forked meanwhile shares the open
// file, and closing only this process's descriptor would leave it held.
class TemporaryFile {
public:
    TemporaryFile(const std::string& path, int fd) : path_(path), fd_(fd) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!committed_) ::unlink(path_.c_str());  // leave nothing behind
        (void)::flock(fd_, LOCK_UN);
        ::close(fd_);  // an error from closing changes nothing already written
    }

    int fd() const { return fd_; }
    // The file now sits at the target: it must no longer be removed, as the
    // temporary path may by now name another save's file.
    void commit() { committed_ = true; }

private:
    const std::string& path_;
    int fd_;
    bool committed_ = false;
};

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR && !interrupt_requested());
    return fd;
}

// Opens the temporary file for writing, holding an exclusive advisory lock
// on it. Saves that share a temporary path (targets with the same stem in
// one directory, or one target saved from two processes) take turns here
// instead of writing into each other's file. A holder renames or removes the
// file before it lets go, so a lock won on a file that no longer sits at
// `tmp` is dropped and the path opened afresh. On a filesystem without
// advisory locks the file is written unlocked, as it would be without this.
std::optional<PersistError> open_locked(const std::string& tmp, int* out) {
    for (;;) {
        const int fd = open_retrying(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return PersistError::os(errno);
        int rc;
        int lock_errno = 0;
        do {
            // Another thread of this process may hold the lock and need the
            // caller to let it run before it can finish and let go.
            run_blocking([&] {
                rc = ::flock(fd, LOCK_EX);
                lock_errno = rc != 0 ? errno : 0;
            });
            errno = lock_errno;
        } while (rc != 0 && errno == EINTR && !interrupt_requested());
        if (rc != 0) {
            const int err = errno;
            if (err == ENOLCK || err == EOPNOTSUPP || err == EINVAL) {
                *out = fd;  // no advisory locks here
                return std::nullopt;
            }
            ::close(fd);
            return PersistError::os(err);
        }
        struct stat held, named;
        if (::fstat(fd, &held) != 0) {
            const int err = errno;
            ::close(fd);
            return PersistError::os(err);
        }
        const int found = ::stat(tmp.c_str(), &named);
        const int err = errno;
        if (found == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            *out = fd;
            return std::nullopt;
        }
        ::close(fd);  // the file locked is no longer the one at `tmp`
        if (found != 0 && err != ENOENT) return PersistError::os(err);
    }
}

std::string header_bytes(uint64_t body_length) {
    std::string h(STATE_HEADER_SIZE, '\0');
    for (int k = 0; k < 4; ++k) h[k] = static_cast<char>(STATE_MAGIC[k]);
    for (int k = 0; k < 4; ++k) h[4 + k] = static_cast<char>((STATE_VERSION >> (8 * k)) & 0xFF);
    for (int k = 0; k < 8; ++k) h[8 + k] = static_cast<char>((body_length >> (8 * k)) & 0xFF);
    return h;
}

// Replaces the locked temporary file's contents with the header and body and
// syncs them to disk. The body already sits whole in memory, so it is
// written straight from there.
std::optional<PersistError> write_file(int fd, const std::string& body) {
    if (::ftruncate(fd, 0) != 0) return PersistError::os(errno);
    const std::string header = header_bytes(body.size());
    if (auto e = write_all(fd, header.data(), header.size())) return e;
    if (auto e = write_all(fd, body.data(), body.size())) return e;
    // The rename below only promises old-or-new contents on power loss when
    // the new contents are on disk first. Filesystems without sync support
    // report EINVAL or ENOTSUP; nothing more can be done there.
    if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) return PersistError::os(errno);
    return std::nullopt;
}

// Makes the rename durable. Best effort: the new file is already in place
// and every reader sees it, so a failure here is not reported (after a power
// loss the directory then holds the old file or the new one, both complete).
// Runs after the rename, so it allocates nothing and does not consult the
// stop hooks: a signal that arrives now is left pending for the caller.
void sync_directory(const std::string& dir) noexcept {
    int fd;
    do {
        fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

uint64_t le_bytes(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int k = n - 1; k >= 0; --k) v = (v << 8) | p[k];
    return v;
}

// Reads the header and body of an open state file.
std::optional<PersistError> read_file(int fd, std::string& body) {
    unsigned char word[8];
    if (auto e = read_exact(fd, reinterpret_cast<char*>(word), 4)) return e;
    if (std::memcmp(word, STATE_MAGIC, 4) != 0) return PersistError{PersistError::Kind::InvalidMagic, {}, 0};
    if (auto e = read_exact(fd, reinterpret_cast<char*>(word), 4)) return e;
    const uint32_t version = static_cast<uint32_t>(le_bytes(word, 4));
    if (version != STATE_VERSION) return PersistError{PersistError::Kind::UnsupportedVersion, {}, version};
    if (auto e = read_exact(fd, reinterpret_cast<char*>(word), 8)) return e;
    const uint64_t body_length = le_bytes(word, 8);

    // A length beyond what a regular file holds is a short file; refuse it
    // before allocating anything of that size. Pipes and devices report no
    // size: their buffer grows as data arrives, so a false length cannot
    // allocate much more than was sent.
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size < STATE_HEADER_SIZE || body_length > size - STATE_HEADER_SIZE)
            return PersistError::io(kShortRead);
    }
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    while (body.size() < body_length) {
        const std::size_t have = body.size();
        const uint64_t left = body_length - have;
        const std::size_t step =
            static_cast<std::size_t>(regular ? left : std::min<uint64_t>(left, std::max(kChunk, have)));
        body.resize(have + step);
        if (auto e = read_exact(fd, body.data() + have, step)) return e;
    }
    return std::nullopt;
}

}  // namespace

std::string temporary_path(std::string_view path) {
    const std::string_view trimmed = trim_tail(path);
    const std::size_t slash = trimmed.rfind('/');
    const std::size_t name_at = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view name = trimmed.substr(name_at);
    if (name.empty() || name == "." || name == "..") return std::string(path);
    const std::size_t dot = name.rfind('.');
    const std::string_view stem = dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
    std::string out(trimmed.substr(0, name_at));
    // A name that already ends in ".tmp" would be its own temporary file, and
    // the old file would be cut short before the new one is complete.
    out += name.substr(stem.size()) == ".tmp" ? name : stem;
    out += ".tmp";
    return out;
}

std::optional<PersistError> save_state(const QorRouterState& state, std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return PersistError::io(kNulInPath);
    const std::string target(path);
    const std::optional<std::string> parent = parent_of(path);
    if (parent && !parent->empty())
        if (auto e = create_dir_all(*parent)) return e;

    const auto start = std::chrono::steady_clock::now();
    const std::string body = write_state_json(state);
    const std::string tmp = temporary_path(path);
    // Named before the rename: once the target is replaced, nothing that can
    // fail (an allocation included) may run, or a save that took place
    // would be reported as failed.
    const std::string dir = parent && !parent->empty() ? *parent : std::string(".");
    int fd = -1;
    if (auto e = open_locked(tmp, &fd)) return e;
    {
        TemporaryFile file(tmp, fd);
        if (auto e = write_file(file.fd(), body)) return e;
        if (!try_report_progress(
                [&] { return rate_line("save: wrote", STATE_HEADER_SIZE + body.size(), start); }))
            return PersistError::os(EINTR);
        // Renamed while still locked, so a save waiting for the lock sees
        // the path change and starts on a fresh file.
        if (::rename(tmp.c_str(), target.c_str()) != 0) return PersistError::os(errno);
        file.commit();
    }
    sync_directory(dir);
    return std::nullopt;
}

std::optional<QorRouterState> load_state(std::string_view path, PersistError* error) {
    PersistError scratch;
    PersistError& err = error ? *error : scratch;
    if (path.find('\0') != std::string_view::npos) {
        err = PersistError::io(kNulInPath);
        return std::nullopt;
    }
    const auto start = std::chrono::steady_clock::now();
    Descriptor file(open_retrying(std::string(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.is_open()) {
        err = PersistError::os(errno);
        return std::nullopt;
    }
    std::string body;
    auto failure = read_file(file.get(), body);
    file.close();
    if (failure) {
        err = std::move(*failure);
        return std::nullopt;
    }
    const uint64_t file_bytes = STATE_HEADER_SIZE + body.size();
    auto state = read_state_json(body, &err);
    if (!state) return std::nullopt;
    body = std::string();  // release the text before the checks walk the state
    if (auto broken = check_state_invariants(*state, /*require_id_per_doc=*/false)) {
        err = PersistError{PersistError::Kind::InvalidState, std::move(*broken), 0};
        return std::nullopt;
    }
    report_progress([&] { return rate_line("load: read and checked", file_bytes, start); });
    return state;
}

}  // namespace qor
