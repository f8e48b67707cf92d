// A UiHost with a fake clock for tests: posted tasks wait until the test runs them, and time
// moves only when the test says so, so a 2000 ms watchdog test takes microseconds.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "core/UiHost.h"

namespace quillon {

// Deterministic host for tests: posted tasks wait until runPending(); time moves only through
// advance(). The thread that constructs it is the UI thread.
class ManualUiHost : public UiHost {
public:
    ManualUiHost();
    void post(Task fn) override;
    TimerId startTimer(Millis interval, bool periodic, Task fn) override;
    void stopTimer(TimerId id) override;
    bool onUiThread() const override;

    // Runs posted tasks (including ones they post) until the queue is empty; returns how many ran.
    std::size_t runPending();
    // Runs posted tasks until pred holds, waiting (up to 10 s of real time) for other threads
    // such as a HID reader to post more; the fake clock does not move. False when it never held.
    bool runUntil(const std::function<bool()>& pred);
    // Moves the fake clock forward, firing due timers in time order (running posted tasks
    // between them).
    void advance(Millis by);
    Millis now() const { return now_; }
    std::size_t activeTimers() const;

private:
    struct Timer {
        Millis due;
        Millis interval;
        bool periodic;
        Task fn;
    };
    std::thread::id uiThread_;
    mutable std::mutex mutex_;
    std::deque<Task> queue_;
    std::map<TimerId, Timer> timers_;
    TimerId nextId_ = 1;
    Millis now_{0};
};

}  // namespace quillon
