// The console-control side of an interrupted run on Windows. The system calls the handler on a
// thread of its own; it records the event as the matching POSIX signal number (so exit codes
// match the other systems) and wakes the watch's thread through an event.
#include "cli/Interrupt.h"
#include "cli/InterruptState.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace quillon::cli {
namespace {

constexpr int kSigInt = 2;
constexpr int kSigTerm = 15;

HANDLE gWake = nullptr;      // auto-reset: a signal arrived
HANDLE gWatchGone = nullptr; // manual-reset: the run has cleaned up and the watch ended

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int signal = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? kSigInt : kSigTerm;
    int none = 0;
    interrupt::caught.compare_exchange_strong(none, signal);
    if (interrupt::count.fetch_add(1) + 1 >= interrupt::fatalAfter.load()) {
        // Another interrupt while the run winds down: the user wants out now.
        ExitProcess(static_cast<UINT>(128 + signal));
    }
    SetEvent(gWake);
    if (signal == kSigTerm) {
        // The system ends the process as soon as this returns: give the run its clean-up
        // (temporary files, the result line) within the few seconds Windows allows.
        WaitForSingleObject(gWatchGone, 4000);
    }
    return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch(bool secondToSubscribers) {
    interrupt::fatalAfter = secondToSubscribers ? 3 : 2;
    if (gWake == nullptr) {
        gWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        gWatchGone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (gWake == nullptr || gWatchGone == nullptr) throw std::runtime_error("cannot create an event");
    }
    ResetEvent(gWatchGone);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop == nullptr) throw std::runtime_error("cannot create an event");
    stop_[0] = reinterpret_cast<std::intptr_t>(stop);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    thread_ = std::thread([this] { Run(); });
}

// The console handler must wait for the run's clean-up on the watch's thread: the full watch.
InterruptFlag::InterruptFlag() : watch_(std::make_unique<InterruptWatch>()) {}

InterruptFlag::~InterruptFlag() = default;

InterruptWatch::~InterruptWatch() {
    HANDLE stop = reinterpret_cast<HANDLE>(stop_[0]);
    if (thread_.joinable()) {
        SetEvent(stop);
        thread_.join();
    }
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    CloseHandle(stop);
    SetEvent(gWatchGone);
}

void InterruptWatch::Run() {
    HANDLE handles[2] = {gWake, reinterpret_cast<HANDLE>(stop_[0])};
    // The thread stays after the first interrupt: it is the one that passes on a second one.
    for (;;) {
        Notify();
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) return;
    }
}

}  // namespace quillon::cli
