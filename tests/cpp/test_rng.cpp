// The k-means seeding generator: the ChaCha core against a published block,
// and the whole generator against reference outputs recorded in
// generator_vectors.json.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "codebook/rng.hpp"

namespace {

// The fixture read as a sequence of keys, each with the integers that follow
// it before the next key. Its values are integers, arrays of integers and
// arrays of flat objects, so walking the keys in file order recovers them.
class Fixture {
public:
    Fixture() {
        std::ifstream in(std::string(QOR_TEST_DATA_DIR) + "/generator_vectors.json");
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        for (const char* p = text.c_str(); *p != '\0';) {
            if (*p == '"') {
                const char* end = std::strchr(p + 1, '"');
                if (end == nullptr) break;
                const char* after = end + 1;
                while (*after == ' ' || *after == '\n') ++after;
                if (*after == ':') items_.push_back({std::string(p + 1, end), {}});  // a key, not prose
                p = end + 1;
            } else if (*p >= '0' && *p <= '9' && !items_.empty()) {
                char* end = nullptr;
                items_.back().second.push_back(std::strtoull(p, &end, 10));
                p = end;
            } else {
                ++p;
            }
        }
    }
    bool at(const char* key) const { return next_ < items_.size() && items_[next_].first == key; }
    bool done() const { return next_ == items_.size(); }
    // The integers after `key`, which must be the next key.
    std::vector<uint64_t> take(const char* key) {
        if (!at(key)) throw std::runtime_error(std::string("fixture: expected key ") + key);
        return items_[next_++].second;
    }

private:
    std::vector<std::pair<std::string, std::vector<uint64_t>>> items_;
    std::size_t next_ = 0;
};

}  // namespace

TEST(chacha20_block_key_0_to_31_counter_1) {
    // Key bytes 00..1f, block counter 1, nonce 00 00 00 09 00 00 00 4a 00 00 00 00;
    // the expected block is given as little-endian words.
    const uint32_t in[16] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u, 0x03020100u, 0x07060504u,
                             0x0b0a0908u, 0x0f0e0d0cu, 0x13121110u, 0x17161514u, 0x1b1a1918u, 0x1f1e1d1cu,
                             0x00000001u, 0x09000000u, 0x4a000000u, 0x00000000u};
    const uint32_t want[16] = {0xe4e7f110u, 0x15593bd1u, 0x1fdd0f50u, 0xc47120a3u, 0xc7f4d1c7u, 0x0368c033u,
                               0x9aaa2204u, 0x4e6cd4c3u, 0x466482d2u, 0x09aa9f07u, 0x05d7c214u, 0xa2028bd9u,
                               0xd19c12b5u, 0xb94e16deu, 0xe883d0cbu, 0x4e3c50a2u};
    uint32_t out[16];
    qor::chacha_block(in, out, 20);
    for (int i = 0; i < 16; ++i) CHECK_EQ(out[i], want[i]);
}

TEST(generator_matches_reference_outputs) {
    Fixture f;
    f.take("about");
    f.take("seeds");
    std::size_t seeds = 0, cases[3] = {0, 0, 0};
    bool saw_straddle = false;
    for (; f.at("seed"); ++seeds) {
        const uint64_t seed = f.take("seed").at(0);
        // Key expansion and the raw keystream across the buffer refill.
        const auto key = qor::seed_expander(seed);
        CHECK(std::vector<uint64_t>(key.begin(), key.end()) == f.take("key_words"));
        qor::ChaChaRng stream(seed);
        for (const uint64_t w : f.take("words")) CHECK_EQ(uint64_t{stream.next_u32()}, w);
        // 64-bit draws after a skip, including one that straddles a refill.
        for (f.take("u64_after_skip"); f.at("skip_words"); ++cases[0]) {
            qor::ChaChaRng rng(seed);
            for (uint64_t i = f.take("skip_words").at(0); i > 0; --i) rng.next_u32();
            for (const uint64_t v : f.take("u64")) {
                saw_straddle = saw_straddle || rng.word_pos() % 64 == 63;
                CHECK_EQ(rng.next_u64(), v);
            }
            const uint64_t pos = f.take("word_pos_after").at(0);
            CHECK_EQ(rng.word_pos(), pos);
        }
        // Uniform draws below w, with the words the rejections consumed.
        for (f.take("gen_range_u64"); f.at("w"); ++cases[1]) {
            qor::ChaChaRng rng(seed);
            const uint64_t w = f.take("w").at(0);
            for (const uint64_t v : f.take("draws")) CHECK_EQ(rng.gen_range(w), v);
            const uint64_t pos = f.take("word_pos_after").at(0);
            CHECK_EQ(rng.word_pos(), pos);
        }
        // The seeding permutation.
        for (f.take("fisher_yates"); f.at("n"); ++cases[2]) {
            qor::ChaChaRng rng(seed);
            const auto perm = qor::shuffled_indices(f.take("n").at(0), rng);
            CHECK(perm == f.take("perm"));
            const uint64_t pos = f.take("word_pos_after").at(0);
            CHECK_EQ(rng.word_pos(), pos);
        }
    }
    CHECK(f.done() && seeds >= 5);
    CHECK(saw_straddle);
    for (const std::size_t n : cases) CHECK(n >= seeds);
}

QORTEST_MAIN()
