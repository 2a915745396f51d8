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
inline constexpr std::size_t STATE_HEADER_SIZE = 16;
// Size of the write and read buffers of the file layer.
inline constexpr std::size_t STATE_IO_BUFFER = 8192;

// The error value of save_state and load_state.
struct PersistError {
    // Io: an operating-system or stream error. Serialization: the body is not
    // a state under the reading rules. InvalidMagic / UnsupportedVersion: the
    // header is not ours. InvalidState: the body parsed, but the records
    // contradict each other (lengths, ranges, postings), so installing them
    // would let later queries read out of bounds.
    enum class Kind { Io, Serialization, InvalidMagic, UnsupportedVersion, InvalidState };
    Kind kind = Kind::Io;
    std::string
        detail;  // Io: the error's text; Serialization: the reader's message; InvalidState: what is wrong
    uint32_t version = 0;  // UnsupportedVersion: the version read
    // Serialization: where reading stopped in the body. line counts from 1;
    // column counts the bytes of that line up to and including the byte at
    // which reading stopped.
    std::size_t line = 0;
    std::size_t column = 0;

    // "IO error: ...", "serialization error: ... at line L column C",
    // "invalid file magic", "unsupported version N", "invalid state: ...".
    std::string text() const;

    // An Io error for errno value `code`: the system's description followed
    // by " (os error N)".
    static PersistError os(int code);
    static PersistError io(std::string text) { return PersistError{Kind::Io, std::move(text), 0}; }
};

// The compact JSON body of a state (no whitespace, keys in declaration order).
std::string write_state_json(const QorRouterState& state);

// The body text of one 32-bit float: shortest round-trip digits, exponent
// form when the decimal exponent is >= 13 or <= -7, "null" for NaN and
// infinities.
std::string format_f32(float value);

// Parses a body under the strict reading rules; on failure returns nothing
// and sets *error to a Serialization error with the reader's message and
// position. Does not check the records against each other.
std::optional<QorRouterState> read_state_json(std::string_view body, PersistError* error);

// Writes the state file through a sibling temporary file and a rename,
// creating missing parent directories first. The temporary file is locked
// (flock) from opening to the rename, so saves sharing it take turns; it is
// synced before the rename and the directory after it; a failed save
// removes it. The target is only ever touched by the rename.
std::optional<PersistError> save_state(const QorRouterState& state, std::string_view path);

// Reads and parses a state file, then checks the records against each other
// (InvalidState when they disagree); touches no router.
std::optional<QorRouterState> load_state(std::string_view path, PersistError* error);

// The temporary path used by save_state for `path`: the extension of the last
// component replaced by "tmp" (index/router.idx -> index/router.tmp,
// router -> router.tmp, .router -> .router.tmp, a.b.c -> a.b.tmp), or
// ".tmp" appended when that would be the path itself (state.tmp ->
// state.tmp.tmp).
std::string temporary_path(std::string_view path);

}  // namespace qor
