// Call hooks: only the calling thread consults them, a stop request ends a
// parallel loop early with CallInterrupted, and progress lines are not even
// formatted when nobody shows them. (What the lines say is tested through
// the Python logger.)
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/call_hooks.hpp"
#include "parallel/thread_pool.hpp"

namespace {

class RecordingHooks final : public qor::CallHooks {
public:
    explicit RecordingHooks(int stop_after, bool enabled = true)
        : stop_after_(stop_after), enabled_(enabled) {}

    bool interrupted() override {
        std::lock_guard<std::mutex> lock(m_);
        threads_.push_back(std::this_thread::get_id());
        return stop_after_ >= 0 && static_cast<int>(threads_.size()) > stop_after_;
    }
    bool progress_enabled() override { return enabled_; }
    bool report(const std::string& line) override {
        lines.push_back(line);
        return true;
    }

    std::vector<std::thread::id> threads() {
        std::lock_guard<std::mutex> lock(m_);
        return threads_;
    }
    std::vector<std::string> lines;

private:
    std::mutex m_;
    std::vector<std::thread::id> threads_;
    int stop_after_;
    bool enabled_;
};

}  // namespace

TEST(only_the_calling_thread_asks_and_a_stop_skips_the_rest) {
    qor::parallel::ThreadPool pool(4);
    for (int stop_after : {-1, 0, 5}) {
        RecordingHooks hooks(stop_after);
        std::atomic<std::size_t> done{0};
        bool stopped = false;
        {
            const qor::HooksScope scope(&hooks);
            try {
                pool.parallel_for(4000, 1, [&](std::size_t, std::size_t) {
                    done.fetch_add(1);
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                });
            } catch (const qor::CallInterrupted&) {
                stopped = true;
            }
        }
        const auto asked = hooks.threads();
        CHECK(!asked.empty());
        for (const auto& id : asked) CHECK(id == std::this_thread::get_id());
        CHECK_EQ(stopped, stop_after >= 0);
        if (stop_after < 0)
            CHECK_EQ(done.load(), std::size_t{4000});
        else
            CHECK(done.load() < 4000);
        CHECK(qor::current_hooks() == nullptr);
    }
}

TEST(disabled_or_absent_hooks_format_nothing) {
    int formatted = 0;
    const auto make = [&] {
        ++formatted;
        return std::string("x");
    };
    qor::report_progress(make);  // no hooks on this thread
    {
        RecordingHooks hooks(-1, /*enabled=*/false);
        const qor::HooksScope scope(&hooks);
        qor::report_progress(make);
        CHECK(qor::try_report_progress(make));
        CHECK(hooks.lines.empty());
    }
    CHECK_EQ(formatted, 0);
    qor::check_interrupt();  // no hooks: never throws
}

QORTEST_MAIN()
