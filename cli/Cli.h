// Shared pieces of quillon-cli: exit codes, the global options, and the subcommand registrations.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <functional>
#include <vector>

#include <CLI/CLI.hpp>

#include "hex/Chex2bin.h"
#include "hid/HidPlatform.h"
#include "image/Image.h"

namespace quillon::cli {

// Documented in the README and in --help; scripts rely on them, so never renumber.
enum ExitCode : int {
    kExitOk = 0,
    kExitError = 1,           // anything not covered below (internal error, cannot write output)
    kExitUsage = 2,           // bad command line
    kExitBadInput = 3,        // input file missing, unreadable, not valid HEX, too large
    kExitNoProgrammer = 4,    // no programmer found, or it cannot be opened
    kExitTimeout = 5,         // the programmer went silent (2000 ms watchdog)
    kExitDeviceFailure = 6,   // failure reply, no chip, wrong handshake, unplugged
    kExitVerifyFailure = 7,   // checksum mismatch or read-back difference
    // 128 + the signal's number when a run was interrupted: 129 SIGHUP, 130 SIGINT, 143 SIGTERM.
};

class Output;
struct CliContext;

// Why path cannot be read as an input file, or "" when it can: only regular files are read, since
// a FIFO would block and a device may never end. The reason names what the path is, in the
// system's "PATH: reason" form ("fw.hex: is a directory; ...", "fw.hex: No such file or directory").
std::string InputProblem(const std::string& path);
// Why a run must not write path, or "" when it may: it is the --sim-flash chip file, by any name
// or link (also before either exists).
std::string SimFlashClash(const CliContext& ctx, const std::string& path);
// The image of a run, read and converted once for the whole run by the one loader, with a warning
// per kind of leniency of a HEX file and its BIN copy written beside it (once, as the window's
// loader does). write, verify and station all take their image here.
struct RunImage {
    ImagePtr image;      // null when the run cannot use the file
    int code = 0;        // then: the exit code
    std::string error;   // and why
};
RunImage LoadRunImage(const CliContext& ctx, Output& out, const std::string& file);
// One warning per kind of leniency the converter applied to this HEX text.
void WarnHexNotices(Output& out, const std::vector<hex::HexNotice>& notices);

struct SimSettings {
    bool enabled = false;
    std::string scenario = "default";
    bool paced = false;
    std::string flashFile;
    int programmers = 1;
    std::string flashDir;
};

struct CliContext {
    // Subcommands run after the whole command line was parsed (so global options are final).
    struct Command {
        CLI::App* app;
        std::function<int()> run;
    };
    std::vector<Command> commands;

    bool quiet = false;
    bool json = false;
    std::string lang = "en";
    SimSettings sim;
};

// The platform the options ask for: the simulated programmer with --sim, real HID devices
// otherwise. Throws std::invalid_argument for an unknown simulator scenario.
std::unique_ptr<hid::Platform> MakePlatform(const CliContext& ctx);
// Why the simulated chip of the programmer at device ("" any) could not be kept in its
// --sim-flash file, or "" when it was (and for real programmers).
std::string SimChipFileFailure(hid::Platform& platform, const std::string& device = {});

// What differs between systems for the tool itself (TerminalPosix.cpp, TerminalWin32.cpp):
// Sets the console up for UTF-8 text where the system needs it; called once at start.
void PrepareConsole();
// True when the current user may not open the device for reading and writing (on Linux the
// hidraw node's permissions, which the udev rule grants). False where the system cannot tell
// before opening.
bool LacksDeviceAccess(const std::string& devicePath);

// Each subcommand adds itself to the app and its run function to ctx.commands.
void RegisterHex2Bin(CLI::App& app, CliContext& ctx);
void RegisterList(CLI::App& app, CliContext& ctx);
void RegisterProgram(CLI::App& app, CliContext& ctx);  // detect, read, write
void RegisterStation(CLI::App& app, CliContext& ctx);
void RegisterStore(CLI::App& app, CliContext& ctx);  // store init, import, load-pool

}  // namespace quillon::cli
