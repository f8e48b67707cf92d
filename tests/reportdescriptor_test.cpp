// Report lengths from report descriptors of well-known devices (the lengths the HID stacks of
// Windows and Linux report for them), plus the malformed shapes a device may send.
#include <gtest/gtest.h>

#include <vector>

#include "hid/ReportDescriptor.h"

namespace quillon::hid {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The usual vendor-defined 64-byte generic HID device (e.g. PIC18 USB firmware): no report IDs.
const Bytes kVendor64 = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x19, 0x01, 0x29, 0x40, 0x15, 0x00, 0x26, 0xFF, 0x00,
    0x75, 0x08,        // Report Size 8
    0x95, 0x40,        // Report Count 64
    0x81, 0x00,        // Input
    0x19, 0x01, 0x29, 0x40,
    0x91, 0x00,        // Output
    0xC0,              // End Collection
};

// The boot keyboard of the HID class definition: modifiers, reserved byte, 6 keys; 5 LEDs + pad.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,
    0xC0,
};

// A composite device with numbered reports: keyboard (ID 1), consumer control (ID 2) and a
// vendor collection (IDs 3 and 4) that uses Push/Pop around its second feature report.
const Bytes kMultiReport = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01,
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,
    0xC0,
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02,
    0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00,
    0xC0,
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x85, 0x03, 0x75, 0x08, 0x95, 0x20, 0x09, 0x01, 0xB1, 0x02,  // Feature ID 3: 32 bytes
    0xA4,                                                        // Push
    0x85, 0x04, 0x75, 0x10, 0x95, 0x04, 0x09, 0x02, 0xB1, 0x02,  // Feature ID 4: 8 bytes
    0xB4,                                                        // Pop: ID 3, size 8 again
    0x95, 0x10, 0x09, 0x03, 0x81, 0x02,                          // Input ID 3: 16 bytes
    0xC0,
};

TEST(ReportDescriptor, VendorDefined64ByteDevice) {
    const auto info = ParseReportDescriptor(kVendor64);
    EXPECT_TRUE(info.valid);
    EXPECT_FALSE(info.usesReportIds);
    EXPECT_EQ(info.usagePage, 0xFF00);
    EXPECT_EQ(info.usage, 1);
    EXPECT_EQ(info.inputReportLength, 65);
    EXPECT_EQ(info.outputReportLength, 65);
    EXPECT_EQ(info.featureReportLength, 0);
}

TEST(ReportDescriptor, BootKeyboardCountsBitFieldsAndPadding) {
    const auto info = ParseReportDescriptor(kBootKeyboard);
    EXPECT_TRUE(info.valid);
    EXPECT_FALSE(info.usesReportIds);
    EXPECT_EQ(info.usagePage, 0x01);
    EXPECT_EQ(info.usage, 0x06);
    EXPECT_EQ(info.inputReportLength, 9);
    EXPECT_EQ(info.outputReportLength, 2);
    EXPECT_EQ(info.featureReportLength, 0);
}

TEST(ReportDescriptor, NumberedReportsTakeTheLargestPerKindAndPopRestoresTheReportId) {
    const auto info = ParseReportDescriptor(kMultiReport);
    EXPECT_TRUE(info.valid);
    EXPECT_TRUE(info.usesReportIds);
    EXPECT_EQ(info.usagePage, 0x01);  // the first top-level collection
    EXPECT_EQ(info.usage, 0x06);
    EXPECT_EQ(info.inputReportLength, 17);    // ID 3's 16 bytes, not keyboard + consumer + ID 3 summed
    EXPECT_EQ(info.outputReportLength, 2);
    EXPECT_EQ(info.featureReportLength, 33);  // ID 3's 32 bytes beat ID 4's 8
}

TEST(ReportDescriptor, LongItemsAreSkippedAndExtendedUsagesCarryTheirPage) {
    Bytes d = {0x0B, 0x01, 0x00, 0x0C, 0x00,  // Usage (page 0x000C, usage 0x0001) in 4 bytes
               0xA1, 0x01,
               0xFE, 0x03, 0x42, 0xAA, 0xBB, 0xCC,  // long item, 3 data bytes
               0x75, 0x01, 0x95, 0x03, 0x81, 0x02,  // 3 bits
               0xC0};
    const auto info = ParseReportDescriptor(d);
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.usagePage, 0x000C);
    EXPECT_EQ(info.usage, 0x0001);
    EXPECT_EQ(info.inputReportLength, 2);  // 3 bits round up to one byte, plus the ID byte
}

TEST(ReportDescriptor, MalformedDescriptorsAreNotValid) {
    EXPECT_FALSE(ParseReportDescriptor(Bytes{}).valid);
    Bytes truncated(kVendor64.begin(), kVendor64.end() - 4);  // cut inside the Output's usages
    truncated.push_back(0x26);                                // and a 2-byte item with 0 bytes
    EXPECT_FALSE(ParseReportDescriptor(truncated).valid);
    Bytes unclosed(kVendor64.begin(), kVendor64.end() - 1);
    EXPECT_FALSE(ParseReportDescriptor(unclosed).valid);
    EXPECT_FALSE(ParseReportDescriptor(Bytes{0x05, 0x01, 0xA1, 0x01, 0xB4, 0xC0}).valid);  // Pop, empty stack
    EXPECT_FALSE(ParseReportDescriptor(Bytes{0x05, 0x01, 0xA1, 0x01, 0xC0, 0xC0}).valid);  // extra End
    EXPECT_FALSE(ParseReportDescriptor(Bytes{0x05, 0x01, 0xA1, 0x01, 0x85, 0x00, 0xC0}).valid);  // ID 0
    EXPECT_FALSE(ParseReportDescriptor(Bytes{0xA1, 0x01, 0xFE, 0x05, 0x00, 0x01}).valid);  // long item cut
}

TEST(ReportDescriptor, HugeReportsAreClampedTo16Bits) {
    Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
               0x77, 0xFF, 0xFF, 0x00, 0x00,  // Report Size 65535 (4-byte form)
               0x97, 0xFF, 0xFF, 0x00, 0x00,  // Report Count 65535
               0x81, 0x02, 0xC0};
    const auto info = ParseReportDescriptor(d);
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.inputReportLength, 0xFFFF);
}

// Global item with its value in the 4-byte form (tag in the upper nibble of the prefix).
void Global4(Bytes& d, std::uint8_t tag, std::uint32_t value) {
    d.push_back(static_cast<std::uint8_t>(tag << 4 | 0x07));
    for (int k = 0; k < 4; ++k) d.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
}

struct Field {
    std::uint8_t main;  // 0x81 Input, 0x91 Output, 0xB1 Feature
    std::uint32_t size;
    std::uint32_t count;
    int repeat = 1;
    std::uint32_t reportId = 0;  // 0: none
};

// One vendor collection holding the fields, in order.
Bytes Descriptor(const std::vector<Field>& fields) {
    Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    for (const Field& f : fields) {
        if (f.reportId != 0) Global4(d, 0x8, f.reportId);
        Global4(d, 0x7, f.size);
        Global4(d, 0x9, f.count);
        for (int i = 0; i < f.repeat; ++i) d.insert(d.end(), {f.main, 0x02});
    }
    d.push_back(0xC0);
    return d;
}

TEST(ReportDescriptor, HostileSumsSaturateInsteadOfWrapping) {
    constexpr std::uint32_t kMax = 0xFFFFFFFF;
    constexpr std::uint8_t In = 0x81, Out = 0x91, Feat = 0xB1;
    struct Case {
        const char* what;
        std::vector<Field> fields;
        std::uint16_t input, output, feature;
    };
    const std::vector<Case> cases = {
        // (2^32-1)^2 + 7 x 1227133513 is exactly 2^64: a 64-bit sum wraps to the last 32 bits.
        {"sum wraps 2^64 to a 4-byte report", {{In, kMax, kMax}, {In, 7, 1227133513}, {In, 8, 4}}, 0xFFFF, 0, 0},
        // 2^64 - 1 bits: rounding up to bytes would wrap to zero, as if there were no report.
        {"sum one bit short of 2^64", {{In, kMax, kMax}, {In, 2, kMax}}, 0xFFFF, 0, 0},
        {"product of 2^16 x 2^16 overflows 32 bits", {{Out, 0x10000, 0x10000}}, 0, 0xFFFF, 0},
        {"product of 2^31 x 4 overflows 32 bits to zero", {{Feat, 0x80000000u, 4}}, 0, 0, 0xFFFF},
        {"maximal product repeated", {{Feat, kMax, kMax, 300}}, 0, 0, 0xFFFF},
        {"many small items just fit", {{In, 8, 8, 8191}}, 8191 * 8 + 1, 0, 0},
        {"one item more than 16 bits hold", {{In, 8, 8, 8191}, {In, 8, 8}}, 0xFFFF, 0, 0},
        {"a hostile kind leaves the others exact", {{In, 8, 64}, {Out, kMax, kMax, 3}, {Feat, 1, 9}}, 65, 0xFFFF, 3},
        {"a hostile report ID leaves the longest at the limit",
         {{In, 8, 16, 1, 1}, {In, kMax, kMax, 2, 2}, {In, 7, 1227133513, 1, 2}}, 0xFFFF, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto info = ParseReportDescriptor(Descriptor(c.fields));
        EXPECT_TRUE(info.valid);
        EXPECT_EQ(info.inputReportLength, c.input);
        EXPECT_EQ(info.outputReportLength, c.output);
        EXPECT_EQ(info.featureReportLength, c.feature);
    }
}

}  // namespace
}  // namespace quillon::hid
