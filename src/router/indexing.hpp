// The per-document indexing step shared by build and add_documents: range
// and limit checks, cutting the row codes into documents, and appending
// documents (profile, C_top, postings, representatives, flat codes, ids) to a
// state.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "router/router.hpp"
#include "router/state.hpp"

namespace qor {

// Throws InternalFailure naming the first pair with start > end or
// end > n_rows.
void check_doc_ranges(std::span<const DocRange> ranges, uint64_t n_rows);

// Refuses, with InvalidInput naming both numbers, input that the 16- and
// 32-bit fields of the state cannot hold once `ranges` are appended to
// `existing_docs` documents holding `existing_codes` flat codes: a document
// longer than MAX_DOC_VECTORS, more than MAX_TOTAL_CODES codes, more than
// MAX_DOCUMENTS documents. Pairs that are not row ranges of an n_rows-row
// matrix are left to check_doc_ranges.
void check_index_limits(std::span<const DocRange> ranges, uint64_t n_rows, uint64_t existing_docs,
                        uint64_t existing_codes);

// Refuses (InvalidInput) a request whose clamped fine centroid count,
// max(min(n_rows, n_fine), 2), exceeds MAX_FINE_CENTROIDS.
void check_fine_limit(uint64_t n_rows, uint64_t n_fine);

// For each range in order, a copy of codes[start, end). Checks every range
// against codes.size() first (check_doc_ranges).
std::vector<std::vector<uint32_t>> cut_documents(std::span<const uint32_t> codes,
                                                 std::span<const DocRange> ranges);

// Appends one document per code list, numbered from the current document
// count: its C_top (r = state.ctop_r, weighted by the stored idf), its
// postings and first-come representatives, its flat code run and its profile;
// then appends `ids` to doc_ids. All-or-nothing: the C_tops are computed and
// every list is reserved before the first append, so a failure (including
// std::bad_alloc) leaves the state unchanged. The caller has checked the
// representation limits.
void append_documents(QorRouterState& state, std::vector<std::vector<uint32_t>>&& doc_codes,
                      std::span<const uint64_t> ids);

}  // namespace qor
