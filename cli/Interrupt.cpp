// The portable part of the interrupt watch: who is told, once, of the first and second signal.
// The system's handler and the watch's thread live in InterruptPosix.cpp / InterruptWin32.cpp.
#include "cli/Interrupt.h"

#include "cli/InterruptState.h"

namespace quillon::cli {

int InterruptWatch::Caught() { return interrupt::caught.load(); }

void InterruptWatch::Notify() {
    if (interrupt::caught.load() != 0 && !fired_) {
        std::lock_guard lock(mutex_);
        fired_ = true;
        for (auto& [id, fn] : subscribers_) fn();
    }
    if (interrupt::count.load() >= 2 && !firedSecond_) {
        std::lock_guard lock(mutex_);
        firedSecond_ = true;
        for (auto& [id, fn] : secondSubscribers_) fn();
    }
}

std::size_t InterruptWatch::Subscribe(std::function<void()> fn) {
    std::unique_lock lock(mutex_);
    const std::size_t id = nextId_++;
    if (fired_ || interrupt::caught.load() != 0) {
        lock.unlock();
        fn();
        return id;
    }
    subscribers_.emplace(id, std::move(fn));
    return id;
}

void InterruptWatch::Unsubscribe(std::size_t id) {
    std::lock_guard lock(mutex_);
    subscribers_.erase(id);
    secondSubscribers_.erase(id);
}

std::size_t InterruptWatch::SubscribeSecond(std::function<void()> fn) {
    std::unique_lock lock(mutex_);
    const std::size_t id = nextId_++;
    if (firedSecond_ || interrupt::count.load() >= 2) {
        lock.unlock();
        fn();
        return id;
    }
    secondSubscribers_.emplace(id, std::move(fn));
    return id;
}

}  // namespace quillon::cli
