// Every test of a program linked with this ends: one still running after its
// limit, whatever keeps it (a loop or a wait in the code under test, called
// in the test's own process, which no wait of the test can bound), says so,
// with what it saw, and ends the program with failure at once, instead of
// at CTest's timeout.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "support.h"

namespace {

using std::chrono::steady_clock;

// Never destroyed: the watching thread waits on them until the program ends,
// and a condition variable destroyed at exit under a waiter never returns.
std::mutex &guard = *new std::mutex;
std::condition_variable &changed = *new std::condition_variable;
bool running = false;
steady_clock::time_point deadline;
std::chrono::milliseconds limit;
std::function<std::string()> &saw = *new std::function<std::string()>;

[[noreturn]] void watch()
{
    std::unique_lock held(guard);
    for (;;) {
        if (!running) {
            changed.wait(held);
        } else if (changed.wait_until(held, deadline) == std::cv_status::timeout &&
                   steady_clock::now() >= deadline) {
            const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
            std::fprintf(stderr, "[  HUNG    ] %s.%s: still running after %lld s%s%s\n",
                         test ? test->test_suite_name() : "?", test ? test->name() : "?",
                         static_cast<long long>(limit.count() / 1000), saw ? "; " : "",
                         saw ? saw().c_str() : "");
            std::fflush(stderr);
            _exit(1);
        }
    }
}

class watchdog : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { hang_limit(TEST_LIMIT); }
    void OnTestEnd(const testing::TestInfo &) override
    {
        const std::lock_guard held(guard);
        running = false;
        saw = nullptr;
        changed.notify_one();
    }
};

const bool installed = [] {
    failed_tests_wait_no_more = true;
    testing::UnitTest::GetInstance()->listeners().Append(new watchdog);
    std::thread(watch).detach();
    return true;
}();

}  // namespace

void hang_limit(std::chrono::milliseconds from_now, std::function<std::string()> what_it_saw)
{
    const std::lock_guard held(guard);
    running = true;
    limit = from_now;
    deadline = steady_clock::now() + from_now;
    saw = std::move(what_it_saw);
    changed.notify_one();
}
