// The state file: float text of the writer, header bytes, temporary paths,
// directory creation, save and load failures, and the golden files under
// tests/data/state_files with what loading them yields.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "state_file/state_file.hpp"

namespace {

const std::string kData = std::string(QOR_TEST_DATA_DIR) + "/state_files/";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        path = std::string(base && *base ? base : "/tmp") + "/qor_state_test_XXXXXX";
        CHECK(::mkdtemp(path.data()) != nullptr);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The state of the golden file valid.qorr.
qor::QorRouterState golden_state() {
    qor::QorRouterState s;
    s.codebook = {{1.0f, 0.0f}, 2, 1, {0, 1}, 2, {0.0f, 1.0f, 1.0f, 0.0f}, {0.5f, 0.25f}};
    s.doc_profiles = {qor::DocProfile{{0, 1}, {1}}};
    s.doc_ids = {7};
    s.postings.lists = {{}, {0}};
    s.postings.cluster_reps = {std::nullopt, 0u};
    s.ctop_r = 1;
    s.flat_codes = qor::FlatDocCodes{{0, 1}, {0}, {2}};
    return s;
}

float from_bits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

}  // namespace

TEST(float_text) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::pair<float, const char*> table[] = {
        {1e13f, "1e+13"},
        {1.5e20f, "1.5e+20"},
        {3.4028235e38f, "3.4028235e+38"},
        {1e-7f, "1e-7"},
        {1.1754944e-38f, "1.1754944e-38"},
        {1.0f, "1.0"},
        {100.0f, "100.0"},
        {123456790.0f, "123456790.0"},
        {9999999000000.0f, "9999999000000.0"},
        {12.34f, "12.34"},
        {3.1415927f, "3.1415927"},
        {0.5f, "0.5"},
        {0.001234f, "0.001234"},
        {0.000001f, "0.000001"},
        {1.5e-6f, "0.0000015"},
        {0.0f, "0.0"},
        {-0.0f, "-0.0"},
        {-2.5f, "-2.5"},
        {-1e-10f, "-1e-10"},
        {0.1f, "0.1"},
        {16777216.0f, "16777216.0"},
        {from_bits(1), "1e-45"},
        {from_bits(0x80000001u), "-1e-45"},
        {from_bits(0x007FFFFFu), "1.1754942e-38"},
        {nan, "null"},
        {inf, "null"},
        {-inf, "null"},
    };
    for (const auto& [value, text] : table) CHECK_EQ(qor::format_f32(value), std::string(text));
    // Every finite float's text reads back as the same float (a stride over
    // the bit patterns that visits every exponent).
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 0x10001ull * 7) {
        const float f = from_bits(static_cast<uint32_t>(bits));
        if (!std::isfinite(f)) continue;
        const std::string t = qor::format_f32(f);
        const float back = std::strtof(t.c_str(), nullptr);
        if (std::memcmp(&back, &f, 4) != 0) qortest::fail(__FILE__, __LINE__, "float text " + t);
    }
}

TEST(temporary_paths) {
    const std::pair<const char*, const char*> table[] = {
        {"index/router.idx", "index/router.tmp"},
        {"router", "router.tmp"},
        {".router", ".router.tmp"},
        {"a.b.c", "a.b.tmp"},
        {"state.tmp", "state.tmp.tmp"},
        {"d/a.b.tmp", "d/a.b.tmp.tmp"},
        {".tmp", ".tmp.tmp"},
        {"x.tmpx", "x.tmp"},
        {"/abs/dir.d/x.y", "/abs/dir.d/x.tmp"},
        {"dir.d/file", "dir.d/file.tmp"},
        {"router.", "router.tmp"},
    };
    for (const auto& [path, tmp] : table) CHECK_EQ(qor::temporary_path(path), std::string(tmp));
}

// The saved golden state is the golden file byte for byte, with no
// temporary file left; a body of 1234 bytes gets the header
// 51 4F 52 52 01 00 00 00 D2 04 00 00 00 00 00 00.
TEST(header_bytes_and_save_layout) {
    const ScratchDir scratch;
    const std::string path = scratch.path + "/router.idx";
    CHECK(!qor::save_state(golden_state(), path).has_value());
    CHECK(!mode_of(scratch.path + "/router.tmp"));
    CHECK_EQ(read_file(path), read_file(kData + "valid.qorr"));
    CHECK_EQ(read_file(path).substr(16), read_file(kData + "valid_body.json"));
    qor::QorRouterState s = golden_state();
    while (qor::write_state_json(s).size() + 2 <= 1234) s.doc_ids.push_back(0);  // ",0"
    if (qor::write_state_json(s).size() == 1233) s.doc_ids.back() = 10;
    CHECK_EQ(qor::write_state_json(s).size(), 1234u);
    CHECK(!qor::save_state(s, path).has_value());
    const unsigned char expected[16] = {0x51, 0x4F, 0x52, 0x52, 1, 0, 0, 0, 0xD2, 0x04, 0, 0, 0, 0, 0, 0};
    CHECK(std::memcmp(read_file(path).data(), expected, 16) == 0);
}

// Missing directories are created with modes from the umask; saving again
// replaces the file; a target named like a temporary file gets a temporary
// file of its own.
TEST(save_creates_missing_directories_and_replaces_the_target) {
    const ScratchDir scratch;
    const std::string& dir = scratch.path;
    const mode_t old_mask = ::umask(027);
    const std::string path = dir + "/index/a/b/router.idx";
    CHECK(!qor::save_state(golden_state(), path).has_value());
    ::umask(old_mask);
    for (const char* sub : {"/index", "/index/a", "/index/a/b"}) {
        CHECK(S_ISDIR(mode_of(dir + sub)));
        CHECK_EQ(mode_of(dir + sub) & 0777, 0750u);
    }
    CHECK_EQ(mode_of(path) & 0777, 0640u);
    qor::QorRouterState s = golden_state();
    s.doc_ids = {99};
    CHECK(!qor::save_state(s, path).has_value());
    qor::PersistError err;
    auto back = qor::load_state(path, &err);
    CHECK(back && back->doc_ids == std::vector<uint64_t>{99});
    CHECK(!qor::save_state(s, dir + "/state.tmp").has_value());
    CHECK(qor::load_state(dir + "/state.tmp", &err).has_value());
    CHECK(!mode_of(dir + "/state.tmp.tmp"));
}

// A failed rename (the target is a non-empty directory) leaves no temporary
// file behind and the target as it was.
TEST(failed_rename_cleans_up) {
    const ScratchDir scratch;
    const std::string& dir = scratch.path;
    ::mkdir((dir + "/target.idx").c_str(), 0777);
    write_file(dir + "/target.idx/keep", "x");
    auto err = qor::save_state(golden_state(), dir + "/target.idx");
    CHECK(err && err->text() == "IO error: Is a directory (os error 21)");
    CHECK(!mode_of(dir + "/target.tmp"));
    CHECK(mode_of(dir + "/target.idx/keep"));
}

TEST(golden_files_load_as_listed) {
    std::ifstream in(kData + "expected_load.tsv");
    std::string line;
    int checked = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto tab = line.find('\t');
        const std::string name = line.substr(0, tab), expected = line.substr(tab + 1);
        qor::PersistError err;
        auto state = qor::load_state(kData + name, &err);
        const std::string got = state ? "ok" : err.text();
        if (got != expected) qortest::fail(__FILE__, __LINE__, name + ": " + got);
        if (state) CHECK(*state == golden_state());
        ++checked;
    }
    CHECK(checked >= 10);
}

TEST(load_failures_from_the_system) {
    const ScratchDir scratch;
    const std::pair<std::string, const char*> table[] = {
        {scratch.path + "/missing.idx", "IO error: No such file or directory (os error 2)"},
        {scratch.path, "IO error: Is a directory (os error 21)"},
        {std::string("a\0b", 3), "IO error: file name contained an unexpected NUL byte"},
    };
    for (const auto& [path, text] : table) {
        qor::PersistError err;
        CHECK(!qor::load_state(path, &err));
        CHECK_EQ(err.text(), std::string(text));
    }
}

// Every proper prefix of a good file fails cleanly: a short header or body
// is a short file; the body length always covers the body.
TEST(truncated_prefixes_fail_cleanly) {
    const ScratchDir scratch;
    const std::string good = read_file(kData + "valid.qorr");
    const std::string path = scratch.path + "/cut.qorr";
    for (std::size_t n = 0; n < good.size(); ++n) {
        write_file(path, good.substr(0, n));
        qor::PersistError err;
        CHECK(!qor::load_state(path, &err).has_value());
        const std::string expected = n >= 4 || n == 0 || good.compare(0, n, "QORR", n) == 0
                                         ? "IO error: failed to fill whole buffer"
                                         : "invalid file magic";
        if (err.text() != expected) qortest::fail(__FILE__, __LINE__, std::to_string(n) + ": " + err.text());
    }
    // The same prefixes of the body, with a header that fits them, are
    // refused by the reader with a position inside the body.
    const std::string body = read_file(kData + "valid_body.json");
    for (std::size_t n = 0; n < body.size(); ++n) {
        qor::PersistError err;
        CHECK(!qor::read_state_json(body.substr(0, n), &err));
        CHECK(err.kind == qor::PersistError::Kind::Serialization);
        CHECK_EQ(err.line, 1u);
        CHECK(err.column <= n);
    }
}

QORTEST_MAIN()
