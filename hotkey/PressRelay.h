// Carries one registration's key presses to its action on the UI thread. A press seen on a
// reader thread is posted; one seen by the toolkit's event filter runs at once. Once the
// registration is cancelled, presses still queued on the UI thread are dropped, so a press can
// never reach an action that was unregistered (or an object already destroyed).
#pragma once

#include <functional>
#include <memory>

#include "core/UiHost.h"

namespace quillon::hotkey {

class PressRelay : public std::enable_shared_from_this<PressRelay> {
public:
    PressRelay(UiHost& host, std::function<void()> action);

    // Any thread: queues one run of the action on the UI thread.
    void post();
    // UI thread: runs the action now unless cancelled. The caller holds a reference to us for the
    // call, since the action may unregister and so drop the owner's.
    void pressNow();
    // UI thread: no run of the action starts after this.
    void cancel();

private:
    UiHost& host_;
    std::function<void()> action_;
    bool live_ = true;  // read and written on the UI thread only
};

}  // namespace quillon::hotkey
