#include "parallel/call_hooks.hpp"

namespace qor {

namespace {
thread_local CallHooks* hooks_of_thread = nullptr;
// Names of the live ProgressStage scopes, outermost first; deeper scopes
// than the table holds are counted but not shown.
constexpr int MAX_STAGES = 4;
thread_local const char* stages_of_thread[MAX_STAGES] = {};
thread_local int stage_depth = 0;
}  // namespace

CallHooks* current_hooks() noexcept {
    return hooks_of_thread;
}

HooksScope::HooksScope(CallHooks* hooks) noexcept : previous_(hooks_of_thread) {
    hooks_of_thread = hooks;
}
HooksScope::~HooksScope() {
    hooks_of_thread = previous_;
}

ProgressStage::ProgressStage(const char* name) noexcept {
    if (stage_depth < MAX_STAGES) stages_of_thread[stage_depth] = name;
    ++stage_depth;
}
ProgressStage::~ProgressStage() {
    --stage_depth;
}

bool show_line(const std::string& line) {
    CallHooks* h = hooks_of_thread;
    if (h == nullptr) return true;
    std::string full;
    for (int i = 0; i < stage_depth && i < MAX_STAGES; ++i) {
        full += stages_of_thread[i];
        full += ": ";
    }
    full += line;
    return h->report(full);
}

void report_line(const std::string& line) {
    if (!show_line(line)) throw CallInterrupted{};
}

}  // namespace qor
