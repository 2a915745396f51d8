// What the search package needs to know of a router state file, read from
// its bytes with the state file's own reader, and the codebook-only state it
// derives from one. The package never parses the file's text itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "router/state.hpp"

namespace qor {

// The header and body of a whole state file held in memory, checked as
// loading checks a file (strict reading, then the records against each
// other); bytes after the body are ignored. Throws InvalidInput:
//   "not a router state: N bytes, shorter than the 16-byte header"
//   "not a router state: magic b'....', expected b'QORR'"
//   "unsupported router state version V, expected 1"
//   "router state truncated: body of N bytes, M present"
//   "router state body: <reader or check message>"
QorRouterState read_state_bytes(std::string_view bytes);

// The file bytes of `state` exactly as saving it writes them (header, then
// the compact body).
std::string state_file_bytes(const QorRouterState& state);

// The same codebook and ctop_r without any document: no profiles, ids or
// codes, and one empty posting list without a representative per coarse
// cluster (as many as `state` has lists). Loading it and adding documents
// encodes them with this codebook.
QorRouterState codebook_only(const QorRouterState& state);

// The codebook's text as the body holds it, a NUL byte, then ctop_r's text:
// what identifies a codebook whatever documents the state holds (two states
// written by save share it exactly when their codebooks and ctop_r do).
std::string codebook_identity(const QorRouterState& state);

// Whether the state holds anything of a document: profiles, ids, codes or
// a posting.
bool holds_documents(const QorRouterState& state);

}  // namespace qor
