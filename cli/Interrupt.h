// Ctrl-C, SIGTERM and SIGHUP for quillon-cli (on Windows: Ctrl-C and Ctrl-Break as SIGINT; closing
// the console, logoff and shutdown as SIGTERM): the handler only records the signal and wakes the
// watch's thread; the run notices it at its own pace, ends what it was doing cleanly, removes its
// temporary files, prints an "interrupted" result and exits 128+N.
// A second signal ends the program at once, for a clean-up that takes too long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace quillon::cli {

class InterruptWatch {
public:
    // Blocks the signals in the calling thread, and so in every thread it starts later: only the
    // watch's own thread takes them, and calls the subscribers. The run asks Caught() between
    // steps wherever it does not subscribe.
    // With secondToSubscribers, a second signal runs the SubscribeSecond functions instead of
    // ending the program (the station's "abort the unit"), and a third one ends it.
    explicit InterruptWatch(bool secondToSubscribers = false);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The first signal caught (SIGINT, SIGTERM or SIGHUP), 0 while none was.
    static int Caught();
    // The documented exit status for the signal caught: 130, 143 or 129.
    static int ExitCode() { return 128 + Caught(); }

    // fn runs once on the watch's thread when a signal arrives, or at once on the
    // caller's thread when one already has. Unsubscribe waits for a call in progress.
    std::size_t Subscribe(std::function<void()> fn);
    void Unsubscribe(std::size_t id);
    // Like Subscribe, for the second signal (only with secondToSubscribers).
    std::size_t SubscribeSecond(std::function<void()> fn);

private:
    void Run();
    // Tells the subscribers of the first and second signal, once each (on the watch's thread).
    void Notify();

    std::intptr_t stop_[2] = {-1, -1};  // the system's way to stop the watch's thread
    std::mutex mutex_;
    std::map<std::size_t, std::function<void()>> subscribers_;
    std::size_t nextId_ = 1;
    std::map<std::size_t, std::function<void()>> secondSubscribers_;
    bool fired_ = false;  // written under mutex_ by the watch's thread only
    bool firedSecond_ = false;
    std::thread thread_;
};

// For runs that only ask InterruptWatch::Caught() between their steps and never subscribe
// (hex2bin): signals are recorded and a second one ends the program, as with InterruptWatch, but
// where the system allows it (POSIX) no thread is started and joined, which would cost a short
// run more than its work.
class InterruptFlag {
public:
    InterruptFlag();
    ~InterruptFlag();
    InterruptFlag(const InterruptFlag&) = delete;
    InterruptFlag& operator=(const InterruptFlag&) = delete;

private:
    std::unique_ptr<InterruptWatch> watch_;  // where the system needs the watch's thread
};

}  // namespace quillon::cli
