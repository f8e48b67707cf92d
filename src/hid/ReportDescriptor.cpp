// HID report-descriptor parser: walks the short and long items, keeps the global state (with
// Push/Pop), and adds report size x report count per report kind and report ID, saturating so
// that no descriptor can make a report look shorter than it is.
#include "hid/ReportDescriptor.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace quillon::hid {
namespace {

enum Kind { kInput = 0, kOutput = 1, kFeature = 2 };

struct Globals {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

// The Windows and Linux HID stacks report lengths as 16-bit numbers.
std::uint16_t Clamp16(std::uint64_t v) { return static_cast<std::uint16_t>(std::min<std::uint64_t>(v, 0xFFFF)); }

// A report's bits stop counting here: far past any 16-bit length, so a hostile descriptor (size
// and count near 2^32, item after item) can never wrap its sum back to a small number.
constexpr std::uint64_t kBitsCeiling = std::uint64_t{1} << 40;

// bits + size x count, held at the ceiling; 32-bit factors make a product below 2^64.
std::uint64_t AddBits(std::uint64_t bits, std::uint32_t size, std::uint32_t count) {
    const std::uint64_t more = std::min(static_cast<std::uint64_t>(size) * count, kBitsCeiling);
    return std::min(bits + more, kBitsCeiling);
}

}  // namespace

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> d) {
    ReportDescriptorInfo info;
    Globals g;
    std::vector<Globals> stack;
    std::map<std::pair<int, std::uint32_t>, std::uint64_t> bits;  // (kind, report ID) -> bits
    std::uint32_t firstUsage = 0;
    bool haveUsage = false;
    bool extendedUsage = false;  // the usage was given as 4 bytes: page in the upper half
    bool topSeen = false;
    int depth = 0;

    std::size_t i = 0;
    while (i < d.size()) {
        const std::uint8_t prefix = d[i];
        if (prefix == 0xFE) {  // long item: size, tag, data; no defined meaning, skipped
            if (i + 1 >= d.size()) return info;
            const std::size_t size = d[i + 1];
            if (i + 3 + size > d.size()) return info;
            i += 3 + size;
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + size > d.size()) return info;  // truncated item
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < size; ++k) value |= static_cast<std::uint32_t>(d[i + 1 + k]) << (8 * k);
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        i += 1 + size;

        if (type == 0) {  // main
            switch (tag) {
            case 0x8:
            case 0x9:
            case 0xB: {
                const int kind = tag == 0x8 ? kInput : tag == 0x9 ? kOutput : kFeature;
                std::uint64_t& sum = bits[{kind, g.reportId}];
                sum = AddBits(sum, g.reportSize, g.reportCount);
                break;
            }
            case 0xA:  // collection
                if (!topSeen) {
                    topSeen = true;
                    // A 4-byte usage carries its own usage page in the upper half.
                    if (haveUsage && extendedUsage) {
                        info.usagePage = static_cast<std::uint16_t>(firstUsage >> 16);
                    } else {
                        info.usagePage = static_cast<std::uint16_t>(g.usagePage);
                    }
                    info.usage = static_cast<std::uint16_t>(firstUsage & 0xFFFF);
                }
                ++depth;
                break;
            case 0xC:  // end collection
                if (depth == 0) return info;
                --depth;
                break;
            default:
                break;
            }
            haveUsage = false;  // local items end with every main item
            extendedUsage = false;
            firstUsage = 0;
        } else if (type == 1) {  // global
            switch (tag) {
            case 0x0: g.usagePage = value; break;
            case 0x7: g.reportSize = value; break;
            case 0x8:
                if (value == 0) return info;  // report ID 0 is reserved
                g.reportId = value;
                info.usesReportIds = true;
                break;
            case 0x9: g.reportCount = value; break;
            case 0xA: stack.push_back(g); break;
            case 0xB:
                if (stack.empty()) return info;
                g = stack.back();
                stack.pop_back();
                break;
            default: break;
            }
        } else if (type == 2) {  // local
            if (tag == 0x0 && !haveUsage) {
                haveUsage = true;
                firstUsage = value;
                extendedUsage = size == 4;
            }
        }
        // type 3 (reserved) carries no meaning; skipped
    }

    std::uint64_t longest[3] = {0, 0, 0};
    for (const auto& [key, count] : bits) {
        const std::uint64_t bytes = (count + 7) / 8;
        longest[key.first] = std::max(longest[key.first], bytes);
    }
    auto length = [&](int kind) { return longest[kind] == 0 ? std::uint16_t{0} : Clamp16(longest[kind] + 1); };
    info.inputReportLength = length(kInput);
    info.outputReportLength = length(kOutput);
    info.featureReportLength = length(kFeature);
    info.valid = topSeen && depth == 0;
    return info;
}

}  // namespace quillon::hid
