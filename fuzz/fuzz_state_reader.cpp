// libFuzzer target for the state file body reader. Any input must either
// parse or fail with a positioned message; a parsed state must write back to
// a body that parses to the same state and the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "state_file/state_file.hpp"

namespace {

// A failure message ends in " at line L column C" with C within the input.
bool well_positioned(const std::string& msg, std::size_t size) {
    const std::size_t at = msg.rfind(" at line ");
    if (at == std::string::npos || at == 0) return false;
    const std::size_t col = msg.find(" column ", at);
    if (col == std::string::npos) return false;
    const unsigned long long column = std::stoull(msg.substr(col + 8));
    return column <= size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    qor::PersistError err;
    const auto state = qor::read_state_json(body, &err);
    if (!state) {
        if (err.kind != qor::PersistError::Kind::Serialization || !well_positioned(err.detail, size))
            __builtin_trap();
        return 0;
    }
    (void)qor::check_state_invariants(*state, false);
    // Parsed floats are always finite, so the round trip is exact.
    const std::string text = qor::write_state_json(*state);
    qor::PersistError err2;
    const auto again = qor::read_state_json(text, &err2);
    if (!again || !(*again == *state) || qor::write_state_json(*again) != text) __builtin_trap();
    return 0;
}
