// The body reader against the cases in tests/data/state_files/reader_cases.tsv
// (exact message and position), plus the nesting limit and a round trip of
// the writer's output.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "state_file/state_file.hpp"

namespace {

std::string outcome(const std::string& body) {
    qor::PersistError err;
    if (qor::read_state_json(body, &err)) return "ok";
    CHECK(err.kind == qor::PersistError::Kind::Serialization);
    const std::string position =
        " at line " + std::to_string(err.line) + " column " + std::to_string(err.column);
    CHECK_EQ(err.text(), "serialization error: " + err.detail + position);
    return err.detail + position;
}

}  // namespace

// Bodies in the data file write a byte as <HH> in hex, so that control
// characters, line breaks and invalid UTF-8 can appear in them.
TEST(reader_cases_from_data_file) {
    std::ifstream in(std::string(QOR_TEST_DATA_DIR) + "/state_files/reader_cases.tsv");
    std::string line;
    int n = 0, checked = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        const auto tab = line.find('\t');
        std::string body;
        for (std::size_t i = 0; i < tab; ++i) {
            if (line[i] == '<' && i + 3 < tab && line[i + 3] == '>') {
                body += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 3;
            } else {
                body += line[i];
            }
        }
        const std::string got = outcome(body), expected = line.substr(tab + 1);
        if (got != expected)
            qortest::fail(__FILE__, n, "case at line " + std::to_string(n) + ": got [" + got + "]");
        ++checked;
    }
    CHECK(checked > 100);
}

// Any number that fits a double is rounded to the nearest float: beyond the
// float range to an infinity, below it to a zero of the same sign.
TEST(floats_round_to_the_nearest_f32) {
    const std::string body =
        "[[[1e39,-1e39,1.7976931348623157e308,3.4028235e38,-3.4028236e38],0,0,[],0,"
        "[4.9e-324,1e-400,-1e-400,1e-45,-0,7],[16777217,0.1]],[],[],[[],[]],0,[[],[],[]]]";
    qor::PersistError err;
    const auto s = qor::read_state_json(body, &err);
    if (!s) {
        qortest::fail(__FILE__, __LINE__, err.text());
        return;
    }
    const auto& cb = s->codebook;
    const std::vector<float> cquant = {INFINITY, -INFINITY, INFINITY, FLT_MAX, -INFINITY};
    const std::vector<float> dists = {0.0f, 0.0f, -0.0f, 1e-45f, -0.0f, 7.0f};
    const std::vector<float> idf = {16777216.0f, 0.1f};
    CHECK(cb.cquant == cquant);
    CHECK(cb.centroid_dists == dists);
    CHECK(cb.idf == idf);
    for (std::size_t i = 0; i < dists.size(); ++i)
        CHECK_EQ(std::signbit(cb.centroid_dists[i]), std::signbit(dists[i]));
}

// Nesting counts the outermost object as level 1; level 128 is refused at
// the bracket that would open it, in skipped values as in records.
TEST(nesting_limit) {
    auto nested = [](int depth) {
        return "{\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    };
    CHECK_EQ(outcome(nested(127)),
             "missing field `codebook` at line 1 column " + std::to_string(nested(127).size()));
    CHECK_EQ(outcome(nested(128)), "recursion limit exceeded at line 1 column " + std::to_string(5 + 127));
    // Objects count too, and the limit does not depend on where the
    // nesting sits.
    std::string objs = "{\"codebook\":{\"x\":";
    for (int i = 0; i < 125; ++i) objs += "{\"a\":";
    CHECK_EQ(outcome(objs + "1"),
             "EOF while parsing an object at line 1 column " + std::to_string(objs.size() + 1));
    CHECK_EQ(outcome(objs + "{"),
             "recursion limit exceeded at line 1 column " + std::to_string(objs.size() + 1));
    // Very deep input is refused without exhausting the stack.
    CHECK_EQ(outcome("{\"x\":" + std::string(1000000, '[')), "recursion limit exceeded at line 1 column 132");
}

// Any finite float round trips bit for bit (-0.0, subnormals); integer
// fields keep their full range; the writer emits no whitespace.
TEST(random_states_round_trip_bit_for_bit) {
    std::mt19937_64 rng(7);
    auto u32 = [&] { return static_cast<uint32_t>(rng()); };
    auto floats = [&](std::size_t n) {
        std::vector<float> v;
        while (v.size() < n) {
            const uint32_t bits = u32();
            float f;
            std::memcpy(&f, &bits, 4);
            if (std::isfinite(f)) v.push_back(f);
        }
        return v;
    };
    for (int round = 0; round < 40; ++round) {
        qor::QorRouterState s;
        const std::size_t nf = rng() % 6;
        s.codebook = {floats(nf * (rng() % 4)), rng(),     rng() >> (rng() % 64), {}, 0,
                      floats(nf * nf),          floats(nf)};
        for (std::size_t i = 0; i < nf; ++i) s.codebook.cindex_labels.push_back(u32());
        for (std::size_t i = 0; i < nf; i += 3) s.codebook.idf[i] = static_cast<float>(i);  // integral values
        for (int d = static_cast<int>(rng() % 5); d > 0; --d) {
            qor::DocProfile p;
            for (int i = static_cast<int>(rng() % 4); i > 0; --i) p.centroid_ids.push_back(u32());
            for (int i = static_cast<int>(rng() % 3); i > 0; --i) p.ctop.push_back(u32() % 9);
            s.doc_profiles.push_back(p);
            s.doc_ids.push_back(rng());
            s.flat_codes.offsets.push_back(u32());
            s.flat_codes.lengths.push_back(static_cast<uint16_t>(rng()));
            s.flat_codes.codes.push_back(static_cast<uint16_t>(rng()));
        }
        for (int c = static_cast<int>(rng() % 4); c > 0; --c) {
            s.postings.lists.push_back({u32(), 0xFFFFFFFFu});
            s.postings.cluster_reps.push_back(c % 2 ? std::optional<uint32_t>(u32()) : std::nullopt);
        }
        s.ctop_r = UINT64_MAX;
        const std::string body = qor::write_state_json(s);
        CHECK(body.find(' ') == std::string::npos && body.find('\n') == std::string::npos);
        qor::PersistError err;
        auto back = qor::read_state_json(body, &err);
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
