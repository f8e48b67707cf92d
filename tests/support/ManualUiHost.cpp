// The fake-clock host: a task queue drained on demand and timers fired by advance().
#include "support/ManualUiHost.h"

#include <chrono>
#include <thread>
#include <utility>

namespace quillon {

ManualUiHost::ManualUiHost() : uiThread_(std::this_thread::get_id()) {}

void ManualUiHost::post(Task fn) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
}

UiHost::TimerId ManualUiHost::startTimer(Millis interval, bool periodic, Task fn) {
    std::lock_guard lock(mutex_);
    TimerId id = nextId_++;
    timers_[id] = Timer{now_ + interval, interval, periodic, std::move(fn)};
    return id;
}

void ManualUiHost::stopTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

bool ManualUiHost::onUiThread() const { return std::this_thread::get_id() == uiThread_; }

std::size_t ManualUiHost::activeTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

bool ManualUiHost::runUntil(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        runPending();
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::size_t ManualUiHost::runPending() {
    std::size_t ran = 0;
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return ran;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
        ++ran;
    }
}

void ManualUiHost::advance(Millis by) {
    runPending();
    const Millis target = now_ + by;
    for (;;) {
        Task fn;
        {
            std::lock_guard lock(mutex_);
            auto next = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (it->second.due <= target && (next == timers_.end() || it->second.due < next->second.due))
                    next = it;
            }
            if (next == timers_.end()) break;
            now_ = next->second.due;
            fn = next->second.fn;
            if (next->second.periodic)
                next->second.due += next->second.interval;
            else
                timers_.erase(next);
        }
        fn();
        runPending();
    }
    now_ = target;
}

}  // namespace quillon
