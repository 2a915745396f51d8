// A preloadable library that replaces the global operator new and delete so
// that tests can make one chosen allocation fail.
//
// Every replaceable form is defined here (plain, array, nothrow, aligned and
// sized), all on top of malloc and free, so memory from any form can be
// released through any matching delete whichever library allocated it.
//
// Counting starts when a test calls alloc_fail_arm(n): the n-th allocation
// after that, on any thread, fails (std::bad_alloc, or a null pointer from a
// nothrow form); later ones succeed. alloc_fail_disarm() stops counting and
// returns how many allocations were counted, the failed one included.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> armed{false};
std::atomic<long> fail_at{0};  // 1-based index of the allocation that fails
std::atomic<long> counted{0};
std::atomic<bool> fired{false};

// True when this allocation is the one chosen to fail.
bool chosen() {
    if (!armed.load(std::memory_order_acquire)) return false;
    const long index = counted.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (index != fail_at.load(std::memory_order_relaxed)) return false;
    fired.store(true, std::memory_order_release);
    return true;
}

void* allocate(std::size_t size, std::size_t align, bool nothrow) {
    if (chosen()) {
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    if (size == 0) size = 1;
    for (;;) {
        void* p = nullptr;
        if (align <= alignof(std::max_align_t)) {
            p = std::malloc(size);
        } else if (::posix_memalign(&p, align, size) != 0) {
            p = nullptr;
        }
        if (p != nullptr) return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            if (nothrow) return nullptr;
            throw std::bad_alloc();
        }
        try {
            handler();
        } catch (...) {
            if (nothrow) return nullptr;
            throw;
        }
    }
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void alloc_fail_arm(long n) {
    fired.store(false, std::memory_order_relaxed);
    counted.store(0, std::memory_order_relaxed);
    fail_at.store(n, std::memory_order_relaxed);
    armed.store(true, std::memory_order_release);
}

__attribute__((visibility("default"))) long alloc_fail_disarm() {
    armed.store(false, std::memory_order_release);
    return counted.load(std::memory_order_acquire);
}

__attribute__((visibility("default"))) int alloc_fail_fired() {
    return fired.load(std::memory_order_acquire) ? 1 : 0;
}

}  // extern "C"

void* operator new(std::size_t n) {
    return allocate(n, kPlain, false);
}
void* operator new[](std::size_t n) {
    return allocate(n, kPlain, false);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n, kPlain, true);  // never throws in its nothrow form
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n, kPlain, true);  // never throws in its nothrow form
}
void* operator new(std::size_t n, std::align_val_t a) {
    return allocate(n, static_cast<std::size_t>(a), false);
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return allocate(n, static_cast<std::size_t>(a), false);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, static_cast<std::size_t>(a), true);  // never throws in its nothrow form
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, static_cast<std::size_t>(a), true);  // never throws in its nothrow form
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
