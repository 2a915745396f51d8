#include "router/indexing.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "codebook/ctop.hpp"
#include "common/errors.hpp"
#include "common/text.hpp"

namespace qor {

namespace {

// Makes room for `extra` more elements. Grows at least geometrically so that
// many small appends (one document per add_documents call) stay amortised
// linear; falls back to the exact size when the doubled size cannot be had.
template <class T>
void reserve_extra(std::vector<T>& v, std::size_t extra) {
    const std::size_t need = v.size() + extra;
    if (need < v.size()) throw std::length_error("vector size overflow");
    if (need <= v.capacity()) return;
    const std::size_t doubled = v.capacity() > v.max_size() / 2 ? v.max_size() : v.capacity() * 2;
    try {
        v.reserve(std::max(need, doubled));
    } catch (const std::bad_alloc&) {
        v.reserve(need);
    } catch (const std::length_error&) {
        v.reserve(need);
    }
}

}  // namespace

void check_doc_ranges(std::span<const DocRange> ranges, uint64_t n_rows) {
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const auto [start, end] = ranges[i];
        if (start > end || end > n_rows)
            throw InternalFailure("doc_offsets[" + num(i) + "] = (" + num(start) + ", " + num(end) +
                                  ") is not a row range of the " + num(n_rows) + "-row matrix");
    }
}

void check_index_limits(std::span<const DocRange> ranges, uint64_t n_rows, uint64_t existing_docs,
                        uint64_t existing_codes) {
    if (ranges.size() > MAX_DOCUMENTS || existing_docs > MAX_DOCUMENTS - ranges.size())
        throw InvalidInput("too many documents: " + num(existing_docs) + " indexed plus " +
                           num(ranges.size()) + " new exceeds the limit of " + num(MAX_DOCUMENTS));
    uint64_t total = existing_codes;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const auto [start, end] = ranges[i];
        if (start > end || end > n_rows) continue;  // a bad pair, reported by check_doc_ranges
        const uint64_t len = end - start;
        if (len > MAX_DOC_VECTORS)
            throw InvalidInput("document " + num(i) + " has " + num(len) + " vectors; at most " +
                               num(MAX_DOC_VECTORS) + " vectors per document are supported");
        // len <= 65535 and total <= MAX_TOTAL_CODES here, so the sum cannot wrap.
        total += len;
        if (total > MAX_TOTAL_CODES)
            throw InvalidInput("too many vectors in documents: " + num(existing_codes) +
                               " indexed plus at least " + num(total - existing_codes) +
                               " new exceeds the limit of " + num(MAX_TOTAL_CODES));
    }
}

void check_fine_limit(uint64_t n_rows, uint64_t n_fine) {
    const uint64_t k_fine = std::max<uint64_t>(std::min(n_rows, n_fine), 2);
    if (k_fine > MAX_FINE_CENTROIDS)
        throw InvalidInput("n_fine " + num(n_fine) + " over " + num(n_rows) + " rows gives " + num(k_fine) +
                           " fine centroids; at most " + num(MAX_FINE_CENTROIDS) + " are supported");
}

std::vector<std::vector<uint32_t>> cut_documents(std::span<const uint32_t> codes,
                                                 std::span<const DocRange> ranges) {
    check_doc_ranges(ranges, codes.size());
    std::vector<std::vector<uint32_t>> docs;
    docs.reserve(ranges.size());
    for (const auto& [start, end] : ranges) docs.emplace_back(codes.begin() + start, codes.begin() + end);
    return docs;
}

void append_documents(QorRouterState& state, std::vector<std::vector<uint32_t>>&& doc_codes,
                      std::span<const uint64_t> ids) {
    ClusterPostings& postings = state.postings;
    FlatDocCodes& flat = state.flat_codes;
    if (postings.lists.size() != postings.cluster_reps.size())
        throw InternalFailure("postings has " + num(postings.lists.size()) + " lists but " +
                              num(postings.cluster_reps.size()) + " cluster_reps");
    const std::size_t n_new = doc_codes.size();
    const uint64_t base = state.doc_profiles.size();

    // Everything that can fail comes first: the C_tops, then room in every
    // list this call appends to.
    std::vector<std::vector<uint32_t>> ctops(n_new);
    uint64_t max_cluster = 0;
    std::size_t new_codes = 0;
    for (std::size_t i = 0; i < n_new; ++i) {
        ctops[i] = top_coarse_clusters(state.codebook, doc_codes[i], state.ctop_r);
        for (uint32_t c : ctops[i]) max_cluster = std::max<uint64_t>(max_cluster, c + uint64_t{1});
        new_codes += doc_codes[i].size();
    }
    const std::size_t n_lists = std::min<uint64_t>(postings.lists.size(), max_cluster);
    std::vector<std::size_t> postings_per_list(n_lists, 0);
    for (const auto& ctop : ctops)
        for (uint32_t c : ctop)
            if (c < n_lists) ++postings_per_list[c];
    for (std::size_t c = 0; c < n_lists; ++c)
        if (postings_per_list[c] != 0) reserve_extra(postings.lists[c], postings_per_list[c]);
    reserve_extra(state.doc_profiles, n_new);
    reserve_extra(flat.offsets, n_new);
    reserve_extra(flat.lengths, n_new);
    reserve_extra(flat.codes, new_codes);
    reserve_extra(state.doc_ids, ids.size());

    // From here on nothing allocates, so nothing can fail halfway.
    for (std::size_t i = 0; i < n_new; ++i) {
        const auto d = static_cast<uint32_t>(base + i);
        for (uint32_t c : ctops[i]) {
            if (c >= n_lists) continue;  // no posting list for this cluster
            postings.lists[c].push_back(d);
            // An absent representative becomes the list's first document:
            // d for a list that was empty, the lowest index otherwise.
            if (!postings.cluster_reps[c]) postings.cluster_reps[c] = postings.lists[c].front();
        }
        const std::vector<uint32_t>& codes = doc_codes[i];
        flat.offsets.push_back(static_cast<uint32_t>(flat.codes.size()));
        flat.lengths.push_back(static_cast<uint16_t>(codes.size()));
        for (uint32_t code : codes) flat.codes.push_back(static_cast<uint16_t>(code));
        state.doc_profiles.push_back(DocProfile{std::move(doc_codes[i]), std::move(ctops[i])});
    }
    state.doc_ids.insert(state.doc_ids.end(), ids.begin(), ids.end());
}

}  // namespace qor
