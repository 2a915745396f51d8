#include "rerank/state_summary.hpp"

#include <cstdio>
#include <string>

#include "common/errors.hpp"
#include "state_file/state_file.hpp"

namespace qor {

namespace {

uint64_t little_endian(std::string_view bytes, std::size_t at, int n) {
    uint64_t v = 0;
    for (int k = n - 1; k >= 0; --k)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(k)]);
    return v;
}

// A byte string as Python writes a bytes literal, so messages read the same
// as those of the package's other checks.
std::string bytes_literal(std::string_view bytes) {
    std::string out = "b'";
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += ch;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out + "'";
}

// The body starts with this key, and the codebook object it opens holds
// only numbers, arrays of numbers and null, so its first '}' closes it.
constexpr std::string_view CODEBOOK_KEY = "{\"codebook\":";

}  // namespace

QorRouterState read_state_bytes(std::string_view bytes) {
    if (bytes.size() < STATE_HEADER_SIZE)
        throw InvalidInput("not a router state: " + std::to_string(bytes.size()) +
                           " bytes, shorter than the " + std::to_string(STATE_HEADER_SIZE) + "-byte header");
    const std::string_view magic(reinterpret_cast<const char*>(STATE_MAGIC), 4);
    if (bytes.substr(0, 4) != magic)
        throw InvalidInput("not a router state: magic " + bytes_literal(bytes.substr(0, 4)) + ", expected " +
                           bytes_literal(magic));
    const uint64_t version = little_endian(bytes, 4, 4);
    if (version != STATE_VERSION)
        throw InvalidInput("unsupported router state version " + std::to_string(version) + ", expected " +
                           std::to_string(STATE_VERSION));
    const uint64_t length = little_endian(bytes, 8, 8);
    const std::size_t present = bytes.size() - STATE_HEADER_SIZE;
    if (length > present)
        throw InvalidInput("router state truncated: body of " + std::to_string(length) + " bytes, " +
                           std::to_string(present) + " present");
    PersistError error;
    auto state = read_state_json(bytes.substr(STATE_HEADER_SIZE, static_cast<std::size_t>(length)), &error);
    if (!state) throw InvalidInput("router state body: " + error.text());
    if (auto broken = check_state_invariants(*state, /*require_id_per_doc=*/false))
        throw InvalidInput("router state body: invalid state: " + *broken);
    return std::move(*state);
}

std::string state_file_bytes(const QorRouterState& state) {
    const std::string body = write_state_json(state);
    std::string out(STATE_HEADER_SIZE, '\0');
    for (int k = 0; k < 4; ++k) out[static_cast<std::size_t>(k)] = static_cast<char>(STATE_MAGIC[k]);
    for (int k = 0; k < 4; ++k)
        out[4 + static_cast<std::size_t>(k)] = static_cast<char>((STATE_VERSION >> (8 * k)) & 0xFF);
    for (int k = 0; k < 8; ++k)
        out[8 + static_cast<std::size_t>(k)] =
            static_cast<char>((static_cast<uint64_t>(body.size()) >> (8 * k)) & 0xFF);
    return out + body;
}

QorRouterState codebook_only(const QorRouterState& state) {
    QorRouterState out;
    out.codebook = state.codebook;
    out.ctop_r = state.ctop_r;
    const std::size_t clusters = state.postings.lists.size();
    out.postings.lists.assign(clusters, {});
    out.postings.cluster_reps.assign(clusters, std::nullopt);
    return out;
}

std::string codebook_identity(const QorRouterState& state) {
    QorRouterState bare;
    bare.codebook = state.codebook;
    const std::string body = write_state_json(bare);
    const std::size_t close = body.find('}', CODEBOOK_KEY.size());
    if (body.compare(0, CODEBOOK_KEY.size(), CODEBOOK_KEY) != 0 || close == std::string::npos)
        throw InternalFailure("the state body does not start with the codebook object");
    std::string out = body.substr(CODEBOOK_KEY.size(), close + 1 - CODEBOOK_KEY.size());
    out += '\0';
    out += std::to_string(state.ctop_r);
    return out;
}

bool holds_documents(const QorRouterState& state) {
    if (!state.doc_profiles.empty() || !state.doc_ids.empty() || !state.flat_codes.codes.empty() ||
        !state.flat_codes.offsets.empty() || !state.flat_codes.lengths.empty())
        return true;
    for (const auto& list : state.postings.lists)
        if (!list.empty()) return true;
    for (const auto& rep : state.postings.cluster_reps)
        if (rep) return true;
    return false;
}

}  // namespace qor
