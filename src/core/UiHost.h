// The shell's side of threading and time, as the core sees it.
// The core never touches a widget or a clock directly: whatever must happen on the UI thread is
// posted here (in order), and every timer (the 2000 ms watchdog) is started here. The window
// implements it with Qt, the command-line tool with LoopUiHost, tests with a fake clock
// (tests/support/ManualUiHost.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace quillon {

class UiHost {
public:
    using Task = std::function<void()>;
    using TimerId = std::uint64_t;
    using Millis = std::chrono::milliseconds;

    virtual ~UiHost() = default;

    // Runs fn on the UI thread later, after everything posted before it. Callable from any thread.
    virtual void post(Task fn) = 0;

    // UI thread only. Starts a timer that calls fn on the UI thread after interval (and every
    // interval after that when periodic). Returns an id for stopTimer; never 0.
    virtual TimerId startTimer(Millis interval, bool periodic, Task fn) = 0;

    // UI thread only. Stops the timer; a stopped or unknown id is ignored.
    virtual void stopTimer(TimerId id) = 0;

    // True on the thread that runs the posted tasks.
    virtual bool onUiThread() const = 0;
};

// A small event loop for shells without a toolkit: the thread that constructs it is the UI
// thread, and only that thread may call run(), runUntil() and runPending().
class LoopUiHost : public UiHost {
public:
    LoopUiHost();
    void post(Task fn) override;
    TimerId startTimer(Millis interval, bool periodic, Task fn) override;
    void stopTimer(TimerId id) override;
    bool onUiThread() const override;

    // Runs tasks and timers until quit() is called (from any thread or from a task).
    void run();
    // Runs tasks and timers until done() is true (checked after every task) or quit() is called.
    void runUntil(const std::function<bool()>& done);
    // Runs the tasks posted so far (and those they post), without waiting for timers.
    void runPending();
    void quit();

private:
    struct Timer {
        std::chrono::steady_clock::time_point due;
        Millis interval;
        bool periodic;
        Task fn;
    };
    std::thread::id uiThread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> queue_;
    std::map<TimerId, Timer> timers_;
    TimerId nextId_ = 1;
    bool quit_ = false;
};

}  // namespace quillon
