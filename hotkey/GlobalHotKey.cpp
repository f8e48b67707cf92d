// The part of the hot key shared by every platform: handing presses to the UI thread.
#include "hotkey/PressRelay.h"

#include <utility>

namespace quillon::hotkey {

PressRelay::PressRelay(UiHost& host, std::function<void()> action) : host_(host), action_(std::move(action)) {}

void PressRelay::post() {
    host_.post([self = shared_from_this()] { self->pressNow(); });
}

void PressRelay::pressNow() {
    if (live_ && action_) action_();
}

void PressRelay::cancel() { live_ = false; }

}  // namespace quillon::hotkey
