// `quillon-cli list`: the HID devices the link sees, one per line (or one JSON object per line),
// with the programmer (04d8:003f) marked, and a pointer to the udev rule when its node is closed
// to the user.

#include <cstdio>
#include <string>

#include "cli/Cli.h"
#include "cli/Json.h"
#include "cli/Output.h"
#include "hid/Nrhid.h"

namespace quillon::cli {
namespace {

std::string Hex4(std::uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

int RunList(const CliContext& ctx, bool json) {
    std::unique_ptr<hid::Platform> platform = MakePlatform(ctx);
    if (!platform) {
        const std::string message =
            std::string("no HID platform is available in this build") + (ctx.sim.enabled ? " (simulator)" : "");
        std::fprintf(stderr, "quillon-cli: list: %s\n", message.c_str());
        if (json) std::printf("%s\n", ResultJsonLine("list", kExitError, message).c_str());
        return kExitError;
    }
    // Only real device nodes can lack permission; simulated paths are not files.
    const bool realDevices = !ctx.sim.enabled;
    bool programmerLocked = false;
    int count = 0;
    {
        hid::TnrHid link(*platform);
        link.Update();
        link.GetDeviceList();
        for (int i = 0; i < link.GetDeviceCount(); ++i) {
            const hid::TnrHidDevice& d = *link.GetHidDevice(i);
            const bool programmer = d.vendorId == hid::kProgrammerVendorId && d.productId == hid::kProgrammerProductId;
            const bool noAccess = realDevices && LacksDeviceAccess(d.devicePath);
            if (programmer && noAccess) programmerLocked = true;
            if (json) {
                const std::string line = JsonLine("device")
                                             .Path("path", d.devicePath)
                                             .Text("vendor_id", Hex4(d.vendorId))
                                             .Text("product_id", Hex4(d.productId))
                                             .Text("product", d.productString)
                                             .Text("serial", d.serialNumberString)
                                             .Number("input_report_length", d.inputReportLength)
                                             .Number("output_report_length", d.outputReportLength)
                                             .Number("feature_report_length", d.featureReportLength)
                                             .Flag("programmer", programmer)
                                             .Flag("accessible", !noAccess)
                                             .Str();
                std::printf("%s\n", line.c_str());
            } else {
                std::printf("%s  %s:%s  \"%s\"  serial \"%s\"  in/out/feature %u/%u/%u%s%s\n", d.devicePath.c_str(),
                            Hex4(d.vendorId).c_str(), Hex4(d.productId).c_str(), d.productString.c_str(),
                            d.serialNumberString.c_str(), static_cast<unsigned>(d.inputReportLength),
                            static_cast<unsigned>(d.outputReportLength), static_cast<unsigned>(d.featureReportLength),
                            programmer ? "  [programmer]" : "", noAccess ? "  (no access)" : "");
            }
        }
        if (link.GetDeviceCount() == 0 && !json && !ctx.quiet) std::printf("no HID devices found\n");
        count = link.GetDeviceCount();
    }
    if (json) {
        ResultDetail detail;
        detail.count = count;
        std::printf("%s\n", ResultJsonLine("list", kExitOk, std::to_string(count) + " HID devices", detail).c_str());
    }
    if (programmerLocked) {
        std::fprintf(stderr,
                     "quillon-cli: the programmer is present but you may not open its hidraw node; install "
                     "packaging/70-quillon-programmer.rules (README, \"USB permissions\") and plug it in again\n");
    }
    return kExitOk;
}

}  // namespace

void RegisterList(CLI::App& app, CliContext& ctx) {
    auto* cmd = app.add_subcommand("list", "List the HID devices and mark the programmer (04d8:003f)");
    auto json = std::make_shared<bool>(false);
    cmd->add_flag("--json", *json, "Print one JSON object per device");
    ctx.commands.push_back({cmd, [&ctx, json] { return RunList(ctx, *json || ctx.json); }});
}

}  // namespace quillon::cli
