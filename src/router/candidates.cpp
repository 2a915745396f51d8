#include "router/candidates.hpp"

#include <algorithm>
#include <string>

#include "common/errors.hpp"
#include "common/text.hpp"

namespace qor {

namespace {

// Dense hit counters over document indices, owned by one call: a zeroed
// array costs a memset per query (well under the scoring work) and keeps no
// memory alive after the call or the router.
struct HitCounters {
    std::vector<uint32_t> count;
    std::vector<uint32_t> touched;  // indices with a non-zero count, first-touch order
};

}  // namespace

CandidateList collect_candidates(const ClusterPostings& postings, std::span<const uint32_t> ctop,
                                 uint64_t n_docs) {
    HitCounters hc;
    hc.count.assign(n_docs, 0);

    uint32_t max_hits = 0;
    for (const uint32_t cluster : ctop) {
        if (cluster >= postings.lists.size()) continue;
        for (const uint32_t d : postings.lists[cluster]) {
            if (d >= n_docs)
                throw InternalFailure("router state is inconsistent: posting list " + num(cluster) +
                                      " holds document " + num(d) + " of " + num(n_docs));
            if (hc.count[d] == 0) hc.touched.push_back(d);
            ++hc.count[d];
            max_hits = std::max(max_hits, hc.count[d]);
        }
    }

    const std::size_t n = hc.touched.size();
    CandidateList out;
    if (n == 0) return out;

    // Bring the touched indices into increasing order: a scan of the index
    // span when the candidates fill a good part of it, a sort otherwise.
    const auto [lo_it, hi_it] = std::minmax_element(hc.touched.begin(), hc.touched.end());
    const uint32_t lo = *lo_it, hi = *hi_it;
    std::vector<uint32_t> by_index;
    by_index.reserve(n);
    if (static_cast<uint64_t>(hi - lo) <= 8 * static_cast<uint64_t>(n)) {
        for (uint64_t d = lo; d <= hi; ++d)
            if (hc.count[d] != 0) by_index.push_back(static_cast<uint32_t>(d));
    } else {
        by_index = hc.touched;
        std::sort(by_index.begin(), by_index.end());
    }

    // Stable counting sort by hit count, highest first: within a count the
    // indices keep their increasing order.
    std::vector<std::size_t> start(static_cast<std::size_t>(max_hits) + 2, 0);
    for (const uint32_t d : by_index) ++start[max_hits - hc.count[d] + 1];
    for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    out.docs.resize(n);
    out.hits.resize(n);
    for (const uint32_t d : by_index) {
        const std::size_t slot = start[max_hits - hc.count[d]]++;
        out.docs[slot] = d;
        out.hits[slot] = hc.count[d];
    }
    return out;
}

}  // namespace qor
