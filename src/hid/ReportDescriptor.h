// A small HID report-descriptor parser: the report lengths and the top-level usage of a device,
// as the operating systems report them in their HID capabilities. Linux hidraw hands out only
// the raw descriptor, so the lengths are computed here.
#pragma once

#include <cstdint>
#include <span>

namespace quillon::hid {

struct ReportDescriptorInfo {
    bool valid = false;          // false: truncated or inconsistent descriptor (lengths unusable)
    bool usesReportIds = false;  // some report carries a Report ID (reads then start with it)
    std::uint16_t usagePage = 0;  // of the first (top-level) collection
    std::uint16_t usage = 0;
    // Per kind, the largest report in bytes plus one byte for the report ID, which is counted
    // even when the device uses no report IDs; 0 when the device has no report of that kind.
    // Longer reports give 65535, never a wrapped smaller number.
    std::uint16_t inputReportLength = 0;
    std::uint16_t outputReportLength = 0;
    std::uint16_t featureReportLength = 0;
};

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace quillon::hid
