// The worker pool: persistent workers that sleep on a condition variable, a
// fork-join parallel_for whose ranges are handed out through an atomic
// counter, and the process-wide pool with its fork() handling.
//
// Loops from different caller threads on one pool are serialised whole (the
// second caller waits for the first loop to finish, then gets every worker).
// A parallel_for issued from inside a running loop body, on a worker or on the
// calling thread, runs serially inline on that thread: waiting for workers
// that are busy with the outer loop could never finish.
#include "parallel/thread_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "parallel/call_hooks.hpp"

namespace qor::parallel {

namespace {

// Bumped in every child created by fork(). A pool made under an older value
// has no workers in this process and its mutexes may be held forever by
// threads that no longer exist, so it is never waited on again.
std::atomic<std::uint64_t> fork_generation{0};

// The process-wide pool; intentionally never destroyed so that exit() and
// static destruction never join or free anything a worker still uses.
std::atomic<ThreadPool*> process_pool{nullptr};

// Pool chosen by the innermost live ScopedPool of this thread.
thread_local ThreadPool* scoped_pool = nullptr;

// How many loop bodies this thread is inside; non-zero means nested use.
thread_local int loop_depth = 0;

void after_fork_in_child() {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
    // Leak the parent's pool: its workers do not exist here and its locks may
    // be held. The next global_pool() call builds a fresh one.
    process_pool.store(nullptr, std::memory_order_relaxed);
}

void register_fork_handler() {
    static std::atomic<bool> registered{false};
    if (!registered.exchange(true)) pthread_atfork(nullptr, nullptr, &after_fork_in_child);
}

// One parallel_for call: the body, the range split and the first failure.
struct Job {
    const RangeBody* body;
    std::size_t n;
    std::size_t grain;
    std::size_t chunks;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written once, by the thread that set `failed`
};

// Claims chunks until none are left or one has failed; exceptions stay here.
// Before each chunk the thread asks whether its call must stop; only the
// calling thread has hooks, so a stop request there skips the chunks nobody
// has claimed yet and reaches the caller like any other failure.
void run_chunks(Job& job) {
    ++loop_depth;
    for (;;) {
        if (job.failed.load(std::memory_order_relaxed)) break;
        const std::size_t c = job.next.fetch_add(1, std::memory_order_relaxed);
        if (c >= job.chunks) break;
        const std::size_t begin = c * job.grain;
        const std::size_t end = job.n - begin > job.grain ? begin + job.grain : job.n;
        try {
            check_interrupt();
            (*job.body)(begin, end);
        } catch (...) {
            if (!job.failed.exchange(true)) job.error = std::current_exception();
        }
    }
    --loop_depth;
}

}  // namespace

struct ThreadPool::Impl {
    std::size_t threads = 1;
    std::uint64_t generation = 0;

    std::mutex loop_mutex;  // held by the caller for a whole loop

    std::mutex m;  // guards everything below
    std::condition_variable wake_cv;
    std::condition_variable done_cv;
    std::uint64_t seq = 0;       // loops started so far
    Job* job = nullptr;          // the running loop
    std::size_t open_slots = 0;  // workers still wanted for the running loop
    std::size_t active = 0;      // workers inside the running loop
    bool stop = false;

    std::vector<std::thread> workers;

    bool stale() const { return generation != fork_generation.load(std::memory_order_relaxed); }

    void worker_main() {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lk(m);
        for (;;) {
            wake_cv.wait(lk, [&] { return stop || seq != seen; });
            if (stop) return;
            seen = seq;
            if (open_slots == 0) continue;  // enough helpers, or the loop is over
            --open_slots;
            ++active;
            Job* current = job;
            lk.unlock();
            run_chunks(*current);
            lk.lock();
            if (--active == 0) done_cv.notify_one();
        }
    }
};

ThreadPool::ThreadPool(std::size_t threads) : impl_(new Impl) {
    register_fork_handler();
    impl_->generation = fork_generation.load(std::memory_order_relaxed);
    const std::size_t wanted = threads == 0 ? 1 : threads;
    // Workers start with every signal blocked, so asynchronous signals (such
    // as Ctrl-C) are delivered to the application's own threads.
    sigset_t all, previous;
    sigfillset(&all);
    const bool masked = pthread_sigmask(SIG_BLOCK, &all, &previous) == 0;
    for (std::size_t i = 1; i < wanted; ++i) {
        try {
            impl_->workers.emplace_back([p = impl_] { p->worker_main(); });
        } catch (...) {
            break;  // out of threads or memory: run with the workers we have
        }
    }
    if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    impl_->threads = 1 + impl_->workers.size();
}

ThreadPool::~ThreadPool() {
    // In a child of fork() the workers are gone and the locks may be held:
    // leak the state rather than wait for threads that will never answer.
    if (impl_->stale()) return;
    {
        std::lock_guard<std::mutex> lk(impl_->m);
        impl_->stop = true;
    }
    impl_->wake_cv.notify_all();
    for (auto& t : impl_->workers) t.join();
    delete impl_;
}

std::size_t ThreadPool::threads() const {
    return impl_->threads;
}

void ThreadPool::parallel_for(std::size_t n, std::size_t grain, const RangeBody& body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    Job job;
    job.body = &body;
    job.n = n;
    job.grain = grain;
    job.chunks = n / grain + (n % grain != 0 ? 1 : 0);

    Impl* p = impl_;
    if (job.chunks == 1 || p->workers.empty() || loop_depth > 0 || p->stale()) {
        run_chunks(job);
    } else {
        std::lock_guard<std::mutex> loop(p->loop_mutex);
        const std::size_t helpers = std::min(p->workers.size(), job.chunks - 1);
        {
            std::lock_guard<std::mutex> lk(p->m);
            p->job = &job;
            ++p->seq;
            p->open_slots = helpers;
        }
        for (std::size_t i = 0; i < helpers; ++i) p->wake_cv.notify_one();
        run_chunks(job);
        std::unique_lock<std::mutex> lk(p->m);
        // Every chunk is claimed; workers that have not woken yet are no
        // longer needed. Wait only for those still running a chunk.
        p->open_slots = 0;
        p->done_cv.wait(lk, [&] { return p->active == 0; });
        p->job = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
}

ThreadPool& global_pool() {
    ThreadPool* pool = process_pool.load(std::memory_order_acquire);
    if (pool != nullptr) return *pool;
    // Two threads may race to create it; the loser discards its own pool.
    auto* fresh = new ThreadPool(configured_pool_size());
    if (process_pool.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *pool;
}

ScopedPool::ScopedPool(ThreadPool& pool) : previous_(scoped_pool) {
    scoped_pool = &pool;
}
ScopedPool::~ScopedPool() {
    scoped_pool = previous_;
}

void parallel_for(std::size_t n, std::size_t grain, const RangeBody& body) {
    (scoped_pool != nullptr ? *scoped_pool : global_pool()).parallel_for(n, grain, body);
}

}  // namespace qor::parallel
