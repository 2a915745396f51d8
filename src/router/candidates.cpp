#include "router/candidates.hpp"

#include <algorithm>
#include <string>

#include "common/errors.hpp"

namespace qor {

namespace {

// Dense hit counters over document indices, kept per calling thread so a
// query does not allocate and clear one per document. Only the entries a
// query touched are non-zero, and they are cleared before it returns.
struct HitCounters {
    std::vector<uint32_t> count;
    std::vector<uint32_t> touched;  // indices with a non-zero count, first-touch order

    void clear_touched() {
        for (const uint32_t d : touched) count[d] = 0;
        touched.clear();
    }
};

thread_local HitCounters tls_counters;

// Moves this thread's counters into a local object for the call (the
// thread-local address is then not looked up again in the loops) and moves
// them back, with the touched counters cleared, on every exit, so a failed
// query leaves the buffer ready for the next one.
struct BorrowedCounters {
    HitCounters hc;
    BorrowedCounters() {
        hc.count.swap(tls_counters.count);
        hc.touched.swap(tls_counters.touched);
    }
    ~BorrowedCounters() {
        hc.clear_touched();
        tls_counters.count.swap(hc.count);
        tls_counters.touched.swap(hc.touched);
    }
    BorrowedCounters(const BorrowedCounters&) = delete;
    BorrowedCounters& operator=(const BorrowedCounters&) = delete;
};

}  // namespace

CandidateList collect_candidates(const ClusterPostings& postings, std::span<const uint32_t> ctop, uint64_t n_docs) {
    BorrowedCounters borrowed;
    HitCounters& hc = borrowed.hc;
    if (hc.count.size() < n_docs) hc.count.resize(n_docs, 0);

    uint32_t max_hits = 0;
    for (const uint32_t cluster : ctop) {
        if (cluster >= postings.lists.size()) continue;
        for (const uint32_t d : postings.lists[cluster]) {
            if (d >= n_docs)
                throw InternalFailure("router state is inconsistent: posting list " + std::to_string(cluster) +
                                      " holds document " + std::to_string(d) + " of " + std::to_string(n_docs));
            // Record the index before counting it, so a failed push leaves no
            // stray non-zero counter behind.
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
