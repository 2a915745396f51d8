// Placeholder serial implementation; replaced by the real worker pool.
#include "parallel/thread_pool.hpp"

namespace qor::parallel {

struct ThreadPool::Impl {
    std::size_t threads;
};

ThreadPool::ThreadPool(std::size_t threads) : impl_(new Impl{threads == 0 ? 1 : threads}) {}
ThreadPool::~ThreadPool() { delete impl_; }
std::size_t ThreadPool::threads() const { return impl_->threads; }

void ThreadPool::parallel_for(std::size_t n, std::size_t grain, const RangeBody& body) {
    if (grain == 0) grain = 1;
    for (std::size_t b = 0; b < n; b += grain) body(b, b + grain < n ? b + grain : n);
}

std::size_t available_parallelism() { return 1; }
std::size_t configured_pool_size() { return 1; }

ThreadPool& global_pool() {
    static ThreadPool pool(1);
    return pool;
}

namespace {
thread_local ThreadPool* scoped_pool = nullptr;
}

ScopedPool::ScopedPool(ThreadPool& pool) : previous_(scoped_pool) { scoped_pool = &pool; }
ScopedPool::~ScopedPool() { scoped_pool = previous_; }

void parallel_for(std::size_t n, std::size_t grain, const RangeBody& body) {
    (scoped_pool != nullptr ? *scoped_pool : global_pool()).parallel_for(n, grain, body);
}

}  // namespace qor::parallel
