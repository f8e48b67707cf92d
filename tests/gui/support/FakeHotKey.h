// Stands in for the system-wide F9 key in the window tests: the window's native event filter
// hands it every event, and an event of type "test-f9" is the press. One that is not available
// refuses the registration, as a key another program holds does.
#pragma once

#include <functional>
#include <string_view>

#include "hotkey/GlobalHotKey.h"

namespace quillon::test {

class FakeHotKey : public hotkey::GlobalHotKey {
public:
    explicit FakeHotKey(bool available = true) : available_(available) {}
    bool registerF9(std::function<void()> onPressed) override {
        if (!available_) return false;
        onPressed_ = std::move(onPressed);
        return true;
    }
    void unregister() override { onPressed_ = nullptr; }
    bool handleNativeEvent(std::string_view eventType, void*) override {
        if (!onPressed_ || eventType != "test-f9") return false;
        onPressed_();
        return true;
    }

private:
    bool available_;
    std::function<void()> onPressed_;
};

}  // namespace quillon::test
