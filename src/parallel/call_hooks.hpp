// Hooks that let a long call of the core be stopped and report its progress
// without the core knowing who called it.
//
// The caller (the Python binding) installs a CallHooks object for the
// duration of one call with a HooksScope. The core calls check_interrupt()
// and report_progress() at safe points on the calling thread: between
// k-means iterations, between stages, between chunks of a parallel loop or of
// file input and output. The pointer is thread-local, so on worker threads
// (and on any thread without a scope) both are no-ops: workers never reach
// the caller's hooks.
#pragma once

#include <string>
#include <type_traits>
#include <utility>

namespace qor {

// Thrown by check_interrupt() when the caller asked to stop the call (a
// signal handler raised). The caller already holds the reason; whoever
// catches this at the call boundary reports that reason, not this object.
// Like every exception of the core it unwinds through code that leaves the
// router as it was.
class CallInterrupted {};

class CallHooks {
public:
    virtual ~CallHooks() = default;
    // True when the call must stop now (the reason is kept by the caller).
    virtual bool interrupted() = 0;
    // True when report() would show anything; cheap, asked before a message
    // is formatted.
    virtual bool progress_enabled() = 0;
    // Shows one line of progress. False when showing it failed in a way that
    // must stop the call (the reason kept as for interrupted()).
    virtual bool report(const std::string& line) = 0;
    // Runs `wait`, a system call that may block until someone else lets go
    // of something (a file lock), so that the caller's other threads can run
    // meanwhile; one of them may be the holder. `wait` touches nothing of the
    // caller's.
    virtual void blocking(void (*wait)(void*), void* arg) { wait(arg); }
};

// The hooks of the current call on this thread, or nullptr.
CallHooks* current_hooks() noexcept;

// Installs `hooks` on this thread until destroyed; scopes nest.
class HooksScope {
public:
    explicit HooksScope(CallHooks* hooks) noexcept;
    ~HooksScope();
    HooksScope(const HooksScope&) = delete;
    HooksScope& operator=(const HooksScope&) = delete;

private:
    CallHooks* previous_;
};

// Names a stage of the work until destroyed; stages nest, and
// report_progress() prefixes each line with the names of the live stages
// ("build: fine k-means: iteration 3 of 30 ..."). `name` must outlive the
// scope (a string literal).
class ProgressStage {
public:
    explicit ProgressStage(const char* name) noexcept;
    ~ProgressStage();
    ProgressStage(const ProgressStage&) = delete;
    ProgressStage& operator=(const ProgressStage&) = delete;
};

// True when the caller asked to stop; a non-throwing form for code that
// reports failure as a value.
inline bool interrupt_requested() {
    CallHooks* h = current_hooks();
    return h != nullptr && h->interrupted();
}

// Throws CallInterrupted when the caller asked to stop.
inline void check_interrupt() {
    if (interrupt_requested()) throw CallInterrupted{};
}

// Runs the blocking call `wait` through the hooks of this thread, or
// directly when there are none.
template <class Wait>
void run_blocking(Wait&& wait) {
    auto call = [](void* w) { (*static_cast<std::remove_reference_t<Wait>*>(w))(); };
    CallHooks* h = current_hooks();
    if (h != nullptr)
        h->blocking(call, &wait);
    else
        wait();
}

// True when a progress line would be shown.
inline bool progress_enabled() {
    CallHooks* h = current_hooks();
    return h != nullptr && h->progress_enabled();
}

// Shows `line`, prefixed with the live stages. False when showing it failed
// in a way that ends the call.
bool show_line(const std::string& line);

// As show_line, but throws CallInterrupted instead of returning false.
void report_line(const std::string& line);

// Shows the line make_line() returns; make_line runs only when progress is
// shown, so a disabled report costs one thread-local read.
template <class MakeLine>
void report_progress(MakeLine&& make_line) {
    if (progress_enabled()) report_line(std::forward<MakeLine>(make_line)());
}

// As report_progress, for code that reports failure as a value: false when
// the call must stop.
template <class MakeLine>
bool try_report_progress(MakeLine&& make_line) {
    return !progress_enabled() || show_line(std::forward<MakeLine>(make_line)());
}

}  // namespace qor
