// The k-means seeding generator: the ChaCha core against published vectors,
// and the whole generator against reference outputs recorded in
// generator_vectors.json.
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "codebook/rng.hpp"

namespace {

// A JSON reader for the fixture: objects, arrays, strings and non-negative
// integers (all the file contains).
struct Json {
    enum Kind { Object, Array, String, Number } kind = Number;
    std::map<std::string, Json> object;
    std::vector<Json> array;
    std::string text;
    uint64_t number = 0;

    const Json& operator[](const std::string& key) const {
        auto it = object.find(key);
        if (it == object.end()) throw std::runtime_error("missing key " + key);
        return it->second;
    }
    std::vector<uint64_t> numbers() const {
        std::vector<uint64_t> out;
        for (const auto& v : array) out.push_back(v.number);
        return out;
    }
};

class Parser {
public:
    explicit Parser(std::string s) : s_(std::move(s)) {}
    Json parse() {
        Json v = value();
        skip();
        if (pos_ != s_.size()) throw std::runtime_error("trailing data");
        return v;
    }

private:
    void skip() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
            ++pos_;
    }
    char peek() {
        skip();
        if (pos_ >= s_.size()) throw std::runtime_error("unexpected end");
        return s_[pos_];
    }
    void expect(char c) {
        if (peek() != c) throw std::runtime_error(std::string("expected ") + c);
        ++pos_;
    }
    std::string string() {
        expect('"');
        std::string out;
        while (s_.at(pos_) != '"') {
            if (s_[pos_] == '\\') ++pos_;
            out += s_.at(pos_++);
        }
        ++pos_;
        return out;
    }
    Json value() {
        Json v;
        const char c = peek();
        if (c == '{') {
            v.kind = Json::Object;
            ++pos_;
            if (peek() == '}') {
                ++pos_;
                return v;
            }
            for (;;) {
                std::string key = string();
                expect(':');
                v.object[key] = value();
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = Json::Array;
            ++pos_;
            if (peek() == ']') {
                ++pos_;
                return v;
            }
            for (;;) {
                v.array.push_back(value());
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = Json::String;
            v.text = string();
            return v;
        }
        if (c < '0' || c > '9') throw std::runtime_error("unsupported value");
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9')
            v.number = v.number * 10 + static_cast<uint64_t>(s_[pos_++] - '0');
        return v;
    }

    std::string s_;
    std::size_t pos_ = 0;
};

const Json& fixture() {
    static const Json doc = [] {
        std::ifstream in(std::string(QOR_TEST_DATA_DIR) + "/generator_vectors.json");
        if (!in) throw std::runtime_error("cannot open generator_vectors.json");
        std::stringstream ss;
        ss << in.rdbuf();
        return Parser(ss.str()).parse();
    }();
    return doc;
}

// Words of a 64-byte block serialised little-endian.
std::vector<uint32_t> words_le(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> w(bytes.size() / 4);
    for (std::size_t i = 0; i < w.size(); ++i)
        w[i] = uint32_t{bytes[4 * i]} | uint32_t{bytes[4 * i + 1]} << 8 | uint32_t{bytes[4 * i + 2]} << 16 |
               uint32_t{bytes[4 * i + 3]} << 24;
    return w;
}

void check_block(const uint32_t in[16], const std::vector<uint8_t>& expected_bytes) {
    uint32_t out[16];
    qor::chacha_block(in, out, 20);
    const auto expected = words_le(expected_bytes);
    for (int i = 0; i < 16; ++i) CHECK_EQ(out[i], expected[i]);
}

constexpr uint32_t SIGMA[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

}  // namespace

TEST(chacha20_block_key_0_to_31_counter_1) {
    // Key bytes 00..1f, block counter 1, nonce 00 00 00 09 00 00 00 4a 00 00 00 00.
    const uint32_t in[16] = {SIGMA[0],    SIGMA[1],    SIGMA[2],    SIGMA[3],    0x03020100u, 0x07060504u,
                             0x0b0a0908u, 0x0f0e0d0cu, 0x13121110u, 0x17161514u, 0x1b1a1918u, 0x1f1e1d1cu,
                             0x00000001u, 0x09000000u, 0x4a000000u, 0x00000000u};
    check_block(
        in, {0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3, 0x20, 0x71, 0xc4,
             0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22, 0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e,
             0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa, 0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2,
             0xb5, 0x12, 0x9c, 0xd1, 0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e});
}

TEST(chacha20_block_zero_key_zero_counter) {
    const uint32_t in[16] = {SIGMA[0], SIGMA[1], SIGMA[2], SIGMA[3]};
    check_block(
        in, {0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53, 0x86, 0xbd, 0x28,
             0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7,
             0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37,
             0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86});
}

TEST(fixture_covers_every_kind_of_output) {
    const auto& seeds = fixture()["seeds"].array;
    CHECK(seeds.size() >= 5);
    for (const auto& s : seeds) {
        CHECK(!s["words"].array.empty());
        CHECK(!s["u64_after_skip"].array.empty());
        CHECK(!s["gen_range_u64"].array.empty());
        CHECK(!s["fisher_yates"].array.empty());
    }
}

TEST(key_words_and_keystream_match_reference) {
    for (const auto& s : fixture()["seeds"].array) {
        const uint64_t seed = s["seed"].number;
        const auto key = qor::seed_expander(seed);
        const auto expected_key = s["key_words"].numbers();
        CHECK_EQ(expected_key.size(), std::size_t{8});
        for (std::size_t i = 0; i < 8; ++i) CHECK_EQ(uint64_t{key[i]}, expected_key[i]);

        qor::ChaChaRng rng(seed);
        for (const uint64_t w : s["words"].numbers()) CHECK_EQ(uint64_t{rng.next_u32()}, w);
    }
}

TEST(u64_draws_after_skip_match_reference_including_refill_straddle) {
    bool saw_straddle = false;
    for (const auto& s : fixture()["seeds"].array) {
        for (const auto& c : s["u64_after_skip"].array) {
            qor::ChaChaRng rng(s["seed"].number);
            const uint64_t skip = c["skip_words"].number;
            for (uint64_t i = 0; i < skip; ++i) rng.next_u32();
            for (const uint64_t v : c["u64"].numbers()) {
                if (rng.word_pos() % 64 == 63) saw_straddle = true;
                CHECK_EQ(rng.next_u64(), v);
            }
            CHECK_EQ(rng.word_pos(), c["word_pos_after"].number);
        }
    }
    CHECK(saw_straddle);
}

TEST(gen_range_matches_reference) {
    for (const auto& s : fixture()["seeds"].array) {
        for (const auto& c : s["gen_range_u64"].array) {
            qor::ChaChaRng rng(s["seed"].number);
            const uint64_t w = c["w"].number;
            for (const uint64_t v : c["draws"].numbers()) {
                const uint64_t got = rng.gen_range(w);
                CHECK_EQ(got, v);
                CHECK(got < w);
            }
            CHECK_EQ(rng.word_pos(), c["word_pos_after"].number);
        }
    }
}

TEST(fisher_yates_matches_reference) {
    for (const auto& s : fixture()["seeds"].array) {
        for (const auto& c : s["fisher_yates"].array) {
            qor::ChaChaRng rng(s["seed"].number);
            const auto perm = qor::shuffled_indices(c["n"].number, rng);
            const auto expected = c["perm"].numbers();
            CHECK_EQ(perm.size(), expected.size());
            for (std::size_t i = 0; i < perm.size() && i < expected.size(); ++i)
                CHECK_EQ(perm[i], expected[i]);
            CHECK_EQ(rng.word_pos(), c["word_pos_after"].number);
        }
    }
}

QORTEST_MAIN()
