// A HID platform that hands every call to another one and counts what passes: the device
// listings asked for and the change notices delivered. The notices may come from a second
// platform (a system's own device-change watcher) while the devices come from the first.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "hid/HidPlatform.h"

namespace quillon::testing {

class ForwardingHidPlatform : public hid::Platform {
public:
    explicit ForwardingHidPlatform(hid::Platform& devices, hid::Platform* notices = nullptr)
        : devices_(devices), notices_(notices != nullptr ? *notices : devices) {}

    std::vector<hid::RawDevice> enumerate() override {
        ++enumerations;
        return devices_.enumerate();
    }
    hid::DeviceQuery query(const std::string& path, bool readStrings) override {
        return devices_.query(path, readStrings);
    }
    hid::OpenResult open(const std::string& path, hid::Access access, bool shared) override {
        return devices_.open(path, access, shared);
    }
    std::string errorText(int code) const override { return devices_.errorText(code); }
    void setChangeListener(std::function<void()> listener) override {
        if (!listener) return notices_.setChangeListener(nullptr);
        notices_.setChangeListener([this, listener = std::move(listener)] {
            ++notices;
            listener();
        });
    }

    std::atomic<int> enumerations{0}, notices{0};

private:
    hid::Platform& devices_;
    hid::Platform& notices_;
};

}  // namespace quillon::testing
