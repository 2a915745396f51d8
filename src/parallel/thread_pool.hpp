// The process-wide worker pool and a deterministic parallel-for.
//
// Contract used by every parallel loop of the core:
//  * parallel_for(n, grain, body) calls body(begin, end) for disjoint ranges
//    that cover [0, n) exactly once; every element writes only its own
//    preallocated output slot, so results never depend on the worker count.
//  * The calling thread takes part in the work and returns only when every
//    range is done.
//  * An exception thrown by body reaches the calling thread (the first one
//    is rethrown after all ranges have finished or been skipped); it never
//    reaches std::terminate.
//  * Workers never touch Python objects.
#pragma once

#include <cstddef>
#include <functional>

#include "parallel/pool_size.hpp"

namespace qor::parallel {

using RangeBody = std::function<void(std::size_t begin, std::size_t end)>;

class ThreadPool {
public:
    // A pool that runs loops on `threads` threads in total, the calling
    // thread included (threads == 1: everything runs on the caller).
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t threads() const;

    // Runs body over [0, n) in ranges of at most `grain` elements (grain 0
    // counts as 1).
    void parallel_for(std::size_t n, std::size_t grain, const RangeBody& body);

    struct Impl;

private:
    Impl* impl_;
};

// The process-wide pool, created on first use; a child created by fork()
// gets a fresh pool on its first use.
ThreadPool& global_pool();

// parallel_for on the pool that serves this thread: the innermost live
// ScopedPool of this thread, otherwise the process-wide pool.
void parallel_for(std::size_t n, std::size_t grain, const RangeBody& body);

// While alive, routes this thread's parallel_for calls to `pool` (tests use
// it to compare results across worker counts).
class ScopedPool {
public:
    explicit ScopedPool(ThreadPool& pool);
    ~ScopedPool();
    ScopedPool(const ScopedPool&) = delete;
    ScopedPool& operator=(const ScopedPool&) = delete;

private:
    ThreadPool* previous_;
};

}  // namespace qor::parallel
