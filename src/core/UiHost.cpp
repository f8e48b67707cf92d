// LoopUiHost: the command-line tool's event loop, timers included.
#include "core/UiHost.h"

#include <utility>

namespace quillon {

LoopUiHost::LoopUiHost() : uiThread_(std::this_thread::get_id()) {}

void LoopUiHost::post(Task fn) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    wake_.notify_one();
}

UiHost::TimerId LoopUiHost::startTimer(Millis interval, bool periodic, Task fn) {
    std::lock_guard lock(mutex_);
    TimerId id = nextId_++;
    timers_[id] = Timer{std::chrono::steady_clock::now() + interval, interval, periodic, std::move(fn)};
    wake_.notify_one();
    return id;
}

void LoopUiHost::stopTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

bool LoopUiHost::onUiThread() const { return std::this_thread::get_id() == uiThread_; }

void LoopUiHost::quit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
}

void LoopUiHost::runPending() {
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

void LoopUiHost::run() {
    runUntil([] { return false; });
}

void LoopUiHost::runUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    quit_ = false;
    while (!quit_) {
        lock.unlock();
        if (done()) return;
        lock.lock();
        if (!queue_.empty()) {
            Task task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        auto now = std::chrono::steady_clock::now();
        auto next = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it) {
            if (next == timers_.end() || it->second.due < next->second.due) next = it;
        }
        if (next != timers_.end() && next->second.due <= now) {
            Task fn = next->second.fn;
            if (next->second.periodic)
                next->second.due = now + next->second.interval;
            else
                timers_.erase(next);
            lock.unlock();
            fn();
            lock.lock();
            continue;
        }
        if (next != timers_.end())
            wake_.wait_until(lock, next->second.due);
        else
            wake_.wait(lock);
    }
}

}  // namespace quillon
