// Candidate checks and the work split shared by the scorers that read
// documents of a store through offsets (exact and code MaxSim).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "parallel/thread_pool.hpp"

namespace qor::parallel {

// What the candidates span: their rows in all.
struct CandidateRows {
    uint64_t total_rows = 0;
};

// Checks every candidate on the calling thread, so no task can fail on its
// input: throws InvalidInput for a candidate outside 0 .. n_docs - 1 or a
// document whose offsets fall outside the store's n_rows rows.
CandidateRows check_candidates(std::span<const int64_t> candidates, const int64_t* offsets, uint64_t n_docs,
                               uint64_t n_rows);

// Calls body over 0 .. n: on the calling thread alone when `work` is under
// two tasks' worth, otherwise in ranges of about `task_work` units each on
// `pool` (the pool serving this thread when null). Each index is scored by
// one task alone, so the results do not depend on the split.
void split_candidates(std::size_t n, double work, std::size_t task_work, ThreadPool* pool,
                      const RangeBody& body);

}  // namespace qor::parallel
