// libFuzzer target for the state file body reader. Any input must either
// parse or fail with a message and a position inside the input; a parsed
// state must write back to a body that parses to the same state and the same
// text (or, when a number rounded to an infinite float, that fails on the
// null written for it).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "state_file/state_file.hpp"

namespace {

// The position lies inside the input: its line exists, and the column does
// not run past the input's end.
bool well_positioned(const qor::PersistError& err, std::string_view input) {
    if (err.detail.empty() || err.line < 1) return false;
    const std::size_t lines = 1 + static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n'));
    return err.line <= lines && err.column <= input.size();
}

bool all_finite(const qor::TwoStageCodebook& cb) {
    for (const auto* v : {&cb.cquant, &cb.centroid_dists, &cb.idf})
        for (const float f : *v)
            if (!std::isfinite(f)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    qor::PersistError err;
    const auto state = qor::read_state_json(body, &err);
    if (!state) {
        if (err.kind != qor::PersistError::Kind::Serialization || !well_positioned(err, body))
            __builtin_trap();
        return 0;
    }
    (void)qor::check_state_invariants(*state, false);
    const std::string text = qor::write_state_json(*state);
    qor::PersistError err2;
    const auto again = qor::read_state_json(text, &err2);
    if (!all_finite(state->codebook)) {
        // An infinity is written as null, which does not read back.
        if (again || err2.detail != "invalid type: null, expected f32") __builtin_trap();
        return 0;
    }
    if (!again || !(*again == *state) || qor::write_state_json(*again) != text) __builtin_trap();
    return 0;
}
