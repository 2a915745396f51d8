// The state file: a 16-byte header ("QORR", version 1 as u32 LE, body length
// as u64 LE) followed by the compact JSON text of a QorRouterState.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "router/state.hpp"

namespace qor {

inline constexpr unsigned char STATE_MAGIC[4] = {'Q', 'O', 'R', 'R'};
inline constexpr uint32_t STATE_VERSION = 1;

// The error value of save_state and load_state.
struct PersistError {
    enum class Kind { Io, Serialization, InvalidMagic, UnsupportedVersion };
    Kind kind = Kind::Io;
    std::string detail;    // Io: the error's text; Serialization: the reader's message with its position
    uint32_t version = 0;  // UnsupportedVersion: the version read

    // "IO error: ...", "serialization error: ...", "invalid file magic",
    // "unsupported version N".
    std::string text() const;
};

// The compact JSON body of a state (no whitespace, keys in declaration order).
std::string write_state_json(const QorRouterState& state);

// Parses a body under the strict reading rules; on failure returns nothing
// and sets *error to a Serialization error whose detail ends in
// " at line L column C".
std::optional<QorRouterState> read_state_json(std::string_view body, PersistError* error);

// Writes the state file through a sibling temporary file and a rename.
std::optional<PersistError> save_state(const QorRouterState& state, std::string_view path);

// Reads and parses a state file; touches no router.
std::optional<QorRouterState> load_state(std::string_view path, PersistError* error);

// The temporary path used by save_state for `path`.
std::string temporary_path(std::string_view path);

}  // namespace qor
