#include "parallel/candidate_split.hpp"

#include <algorithm>
#include <string>

#include "common/errors.hpp"

namespace qor::parallel {

CandidateRows check_candidates(std::span<const int64_t> candidates, const int64_t* offsets, uint64_t n_docs,
                               uint64_t n_rows) {
    CandidateRows rows;
    for (const int64_t c : candidates) {
        if (c < 0 || static_cast<uint64_t>(c) >= n_docs)
            throw InvalidInput("candidate " + std::to_string(c) + " is outside the store's documents 0.." +
                               std::to_string(static_cast<int64_t>(n_docs) - 1));
        const int64_t begin = offsets[c];
        const int64_t end = offsets[c + 1];
        if (begin < 0 || end < begin || static_cast<uint64_t>(end) > n_rows)
            throw InvalidInput("document " + std::to_string(c) + " spans rows " + std::to_string(begin) +
                               ".." + std::to_string(end) + ", outside the store's " +
                               std::to_string(n_rows) + " rows");
        rows.total_rows += static_cast<uint64_t>(end - begin);
    }
    return rows;
}

void split_candidates(std::size_t n, double work, std::size_t task_work, ThreadPool* pool,
                      const RangeBody& body) {
    if (work < 2.0 * static_cast<double>(task_work)) {
        body(0, n);
        return;
    }
    // Tasks of about task_work units on average; the pool wakes only as many
    // workers as there are tasks beyond the caller's first.
    const auto tasks = static_cast<std::size_t>(work / static_cast<double>(task_work));
    const std::size_t grain = std::max<std::size_t>(1, (n + tasks - 1) / tasks);
    if (pool != nullptr)
        pool->parallel_for(n, grain, body);
    else
        parallel_for(n, grain, body);
}

}  // namespace qor::parallel
