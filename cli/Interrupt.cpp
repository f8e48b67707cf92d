// The signal side of an interrupted run. Nothing but a store to a lock-free atomic and a
// write(2) happens inside the handler; everything else runs on ordinary threads.
#include "cli/Interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <vector>

namespace quillon::cli {
namespace {

// A lock-free atomic is as safe in a handler as a sig_atomic_t, and also well-defined for the
// other threads that read it.
std::atomic<int> gCaught{0};
static_assert(std::atomic<int>::is_always_lock_free);
int gWakePipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnSignal(int signal) {
    const int saved = errno;
    int none = 0;
    if (!gCaught.compare_exchange_strong(none, signal)) {
        // A second signal while the run winds down: the user wants out now.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    if (gWakePipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(gWakePipe[1], &byte, 1);
    }
    errno = saved;
}

sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    return set;
}

void MakePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create a pipe");
}

}  // namespace

InterruptWatch::InterruptWatch() {
    if (gWakePipe[0] < 0) MakePipe(gWakePipe);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals) ::sigaction(s, &action, nullptr);
    const sigset_t set = Signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    MakePipe(stopPipe_);
    thread_ = std::thread([this] { Run(); });
}

InterruptWatch::~InterruptWatch() {
    if (thread_.joinable()) {
        const char byte = 1;
        (void)!::write(stopPipe_[1], &byte, 1);
        thread_.join();
    }
    for (int fd : stopPipe_)
        if (fd >= 0) ::close(fd);
}

int InterruptWatch::Caught() { return gCaught.load(); }

void InterruptWatch::Run() {
    const sigset_t set = Signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    pollfd fds[2] = {{gWakePipe[0], POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    // The thread stays after the first signal: it is the one that takes a second one.
    for (;;) {
        if (gCaught.load() != 0 && !fired_) {
            std::lock_guard lock(mutex_);
            fired_ = true;
            for (auto& [id, fn] : subscribers_) fn();
        }
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        char drain[16];
        while (fds[0].revents != 0 && ::read(gWakePipe[0], drain, sizeof drain) > 0) {
        }
    }
}

std::size_t InterruptWatch::Subscribe(std::function<void()> fn) {
    std::unique_lock lock(mutex_);
    const std::size_t id = nextId_++;
    if (fired_ || gCaught.load() != 0) {
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
}

}  // namespace quillon::cli
