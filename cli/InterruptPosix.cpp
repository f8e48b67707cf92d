// The signal side of an interrupted run on POSIX systems. Nothing but a store to a lock-free
// atomic and a write(2) happens inside the handler; everything else runs on ordinary threads.
#include "cli/Interrupt.h"
#include "cli/InterruptState.h"

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

int gWakePipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnSignal(int signal) {
    const int saved = errno;
    int none = 0;
    interrupt::caught.compare_exchange_strong(none, signal);
    if (interrupt::count.fetch_add(1) + 1 >= interrupt::fatalAfter.load()) {
        // Another signal while the run winds down: the user wants out now.
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

InterruptWatch::InterruptWatch(bool secondToSubscribers) {
    interrupt::fatalAfter = secondToSubscribers ? 3 : 2;
    if (gWakePipe[0] < 0) MakePipe(gWakePipe);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals) ::sigaction(s, &action, nullptr);
    const sigset_t set = Signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int stop[2];
    MakePipe(stop);
    stop_[0] = stop[0];
    stop_[1] = stop[1];
    thread_ = std::thread([this] { Run(); });
}

InterruptFlag::InterruptFlag() {
    interrupt::fatalAfter = 2;
    // The handler alone: it records the signal; with no watch there is no pipe to wake.
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals) ::sigaction(s, &action, nullptr);
}

InterruptFlag::~InterruptFlag() = default;

InterruptWatch::~InterruptWatch() {
    if (thread_.joinable()) {
        const char byte = 1;
        (void)!::write(static_cast<int>(stop_[1]), &byte, 1);
        thread_.join();
    }
    for (auto fd : stop_)
        if (fd >= 0) ::close(static_cast<int>(fd));
}

void InterruptWatch::Run() {
    const sigset_t set = Signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    pollfd fds[2] = {{gWakePipe[0], POLLIN, 0}, {static_cast<int>(stop_[0]), POLLIN, 0}};
    // The thread stays after the first signal: it is the one that takes a second one.
    for (;;) {
        Notify();
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        char drain[16];
        while (fds[0].revents != 0 && ::read(gWakePipe[0], drain, sizeof drain) > 0) {
        }
    }
}

}  // namespace quillon::cli
