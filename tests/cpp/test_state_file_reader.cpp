// The body reader against the cases in tests/data/state_files/reader_cases.tsv
// (exact message and position), plus the nesting limit and a round trip of
// the writer's output.
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "state_file/state_file.hpp"

namespace {

struct Case {
    int line;
    std::string body;
    std::string expected;
};

// Bodies use <HH> for a byte given in hex, so that control characters,
// line breaks and invalid UTF-8 can be written in the file.
std::string decode_body(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '<' && i + 3 < s.size() && s[i + 3] == '>') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<Case> load_cases() {
    std::ifstream in(std::string(QOR_TEST_DATA_DIR) + "/state_files/reader_cases.tsv");
    std::vector<Case> cases;
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        const auto tab = line.find('\t');
        cases.push_back({n, decode_body(line.substr(0, tab)), line.substr(tab + 1)});
    }
    return cases;
}

std::string outcome(const std::string& body) {
    qor::PersistError err;
    auto state = qor::read_state_json(body, &err);
    if (state) return "ok";
    CHECK(err.kind == qor::PersistError::Kind::Serialization);
    return err.detail;
}

}  // namespace

TEST(reader_cases_from_data_file) {
    const auto cases = load_cases();
    CHECK(cases.size() > 100);
    for (const auto& c : cases) {
        const std::string got = outcome(c.body);
        if (got != c.expected)
            qortest::fail(__FILE__, c.line, "case at line " + std::to_string(c.line) + ": got [" + got +
                                                "] expected [" + c.expected + "]");
    }
}

TEST(object_and_array_forms_read_the_same_state) {
    const auto cases = load_cases();
    qor::PersistError err;
    auto a = qor::read_state_json(cases.at(0).body, &err);
    auto b = qor::read_state_json(cases.at(1).body, &err);
    CHECK(a && b);
    if (!a || !b) return;
    CHECK(*a == *b);
    CHECK_EQ(a->codebook.n_fine, 2u);
    CHECK_EQ(a->doc_ids.at(0), 7u);
    CHECK(!a->postings.cluster_reps.at(0).has_value());
    CHECK_EQ(a->postings.cluster_reps.at(1).value(), 0u);
    CHECK_EQ(a->flat_codes.lengths.at(0), 2u);
    CHECK(!qor::check_state_invariants(*a, true).has_value());
}

// Nesting counts the outermost object as level 1; level 128 is refused at
// the bracket that would open it, in skipped values as in records.
TEST(nesting_limit) {
    auto nested = [](int depth) {
        return "{\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    };
    CHECK_EQ(outcome(nested(127)), "missing field `codebook` at line 1 column " +
                                        std::to_string(nested(127).size()));
    const std::string deep = nested(128);
    CHECK_EQ(outcome(deep), "recursion limit exceeded at line 1 column " + std::to_string(5 + 127));
    // Objects count too, and the limit does not depend on where the
    // nesting sits.
    std::string objs = "{\"codebook\":{\"x\":";
    for (int i = 0; i < 125; ++i) objs += "{\"a\":";
    CHECK_EQ(outcome(objs + "1"), "EOF while parsing an object at line 1 column " + std::to_string(objs.size() + 1));
    CHECK_EQ(outcome(objs + "{"), "recursion limit exceeded at line 1 column " + std::to_string(objs.size() + 1));
    // Very deep input is refused without exhausting the stack.
    CHECK_EQ(outcome("{\"x\":" + std::string(1000000, '[')), "recursion limit exceeded at line 1 column 132");
}

// Exact floats round trip bit for bit; integer fields keep their full range.
TEST(random_states_round_trip_bit_for_bit) {
    std::mt19937_64 rng(7);
    auto any_float = [&] {
        for (;;) {
            uint32_t bits = static_cast<uint32_t>(rng());
            float f;
            std::memcpy(&f, &bits, 4);
            if (std::isfinite(f)) return f;
        }
    };
    for (int round = 0; round < 40; ++round) {
        qor::QorRouterState s;
        const int nf = static_cast<int>(rng() % 6), dim = static_cast<int>(rng() % 4);
        for (int i = 0; i < nf * dim; ++i) s.codebook.cquant.push_back(any_float());
        for (int i = 0; i < nf * nf; ++i) s.codebook.centroid_dists.push_back(any_float());
        for (int i = 0; i < nf; ++i) s.codebook.idf.push_back(i % 3 ? any_float() : static_cast<float>(i));
        for (int i = 0; i < nf; ++i) s.codebook.cindex_labels.push_back(static_cast<uint32_t>(rng()));
        s.codebook.n_fine = rng();
        s.codebook.dim = rng() >> (rng() % 64);
        s.codebook.n_coarse = 0;
        const int docs = static_cast<int>(rng() % 5);
        for (int d = 0; d < docs; ++d) {
            qor::DocProfile p;
            for (int i = static_cast<int>(rng() % 4); i > 0; --i) p.centroid_ids.push_back(static_cast<uint32_t>(rng()));
            for (int i = static_cast<int>(rng() % 3); i > 0; --i) p.ctop.push_back(static_cast<uint32_t>(rng() % 9));
            s.doc_profiles.push_back(p);
            s.doc_ids.push_back(rng());
            s.flat_codes.offsets.push_back(static_cast<uint32_t>(rng()));
            s.flat_codes.lengths.push_back(static_cast<uint16_t>(rng()));
            s.flat_codes.codes.push_back(static_cast<uint16_t>(rng()));
        }
        for (int c = static_cast<int>(rng() % 4); c > 0; --c) {
            s.postings.lists.push_back({static_cast<uint32_t>(rng()), 0xFFFFFFFFu});
            s.postings.cluster_reps.push_back(c % 2 ? std::optional<uint32_t>(static_cast<uint32_t>(rng()))
                                                    : std::nullopt);
        }
        s.ctop_r = UINT64_MAX;
        const std::string body = qor::write_state_json(s);
        CHECK(body.find(' ') == std::string::npos && body.find('\n') == std::string::npos);
        qor::PersistError err;
        auto back = qor::read_state_json(body, &err);
        CHECK(back.has_value());
        if (!back) {
            qortest::fail(__FILE__, __LINE__, err.text());
            continue;
        }
        CHECK(*back == s);
        // Floats compare equal as values; check the bits too (-0.0).
        for (std::size_t i = 0; i < s.codebook.cquant.size(); ++i)
            CHECK(std::memcmp(&s.codebook.cquant[i], &back->codebook.cquant[i], 4) == 0);
        CHECK_EQ(qor::write_state_json(*back), body);
    }
}

QORTEST_MAIN()
