// quillon-cli: program nRF24LE1/nRF24LU1 chips from scripts, CI and production lines.
#include <clocale>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Cli.h"
#include "cli/Output.h"
#include "core/Version.h"
#include "fs/Files.h"
#include "log/Log.h"
#include "sim/SimPlatform.h"
#include "store/Store.h"

namespace {

using namespace quillon::cli;

// The arguments before "--": after it every argument is a name, never an option.
std::vector<std::string_view> OptionArguments(int argc, char** argv) {
    std::vector<std::string_view> args;
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) args.emplace_back(argv[i]);
    return args;
}

// Whether the run prints JSON, also when parsing stopped before --json was taken: CLI11 never
// reads "--json" as the value of another option, so its presence is the answer.
bool WantsJson(const CliContext& ctx, int argc, char** argv) {
    if (ctx.json) return true;
    for (std::string_view arg : OptionArguments(argc, argv))
        if (arg == "--json") return true;
    return false;
}

// The subcommand the command line named; CLI11 marks it as soon as it reaches its name, so this
// holds after a failed parse too. nullptr when no subcommand was reached.
const CliContext::Command* ChosenCommand(const CliContext& ctx) {
    const CliContext::Command* chosen = nullptr;
    for (const auto& command : ctx.commands)
        if (command.app->parsed()) chosen = &command;
    return chosen;
}

// A file named "-lead.bin" is read as an option, so the positional it was meant for looks
// missing; name the likely cause when a required positional is absent and an option-looking
// argument is in fact an existing file.
std::string DashFileHint(const CliContext::Command* chosen, int argc, char** argv) {
    if (chosen == nullptr) return {};
    bool missing = false;
    for (const CLI::Option* opt : chosen->app->get_options())
        if (opt->get_positional() && !opt->nonpositional() && opt->get_required() && opt->count() == 0) missing = true;
    if (!missing) return {};
    for (std::string_view arg : OptionArguments(argc, argv)) {
        if (arg.size() < 2 || arg[0] != '-') continue;
        const std::string name(arg);
        if (quillon::StatPath(name).error == 0)
            return name + " names a file but was read as an option; to name a file that starts with '-', put it after --";
    }
    return {};
}

// A usage error's text without the password of any argument: a mistyped option ("--stor URL")
// leaves a store's location as an argument nobody expected, which CLI11 quotes as it was given.
std::string WithoutPasswords(std::string text, int argc, char** argv) {
    for (std::string_view arg : OptionArguments(argc, argv)) {
        // "--option=VALUE": the value.
        if (arg.starts_with("-") && arg.find('=') != std::string_view::npos) arg.remove_prefix(arg.find('=') + 1);
        const std::string given(arg);
        const std::string shown = quillon::store::WithoutPassword(given);
        if (shown == given) continue;
        for (auto at = text.find(given); at != std::string::npos; at = text.find(given, at + shown.size()))
            text.replace(at, given.size(), shown);
    }
    return text;
}

// A usage error ends like every other run: the text on stderr, and under --json its one result line.
int UsageFailure(const CliContext& ctx, int argc, char** argv, const std::string& message, const std::string& hint) {
    if (WantsJson(ctx, argc, argv)) {
        const CliContext::Command* chosen = ChosenCommand(ctx);
        const std::string op = chosen != nullptr ? chosen->app->get_name() : "quillon-cli";
        const std::string full = WithoutPasswords(hint.empty() ? message : message + " (" + hint + ")", argc, argv);
        std::printf("%s\n", ResultJsonLine(op, kExitUsage, full).c_str());
        std::fflush(stdout);
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    // The log's time stamp follows the user's date and time format.
    std::setlocale(LC_TIME, "");
    PrepareConsole();
    CliContext ctx;
    CLI::App app{"quillon-cli: program Nordic nRF24LE1 and nRF24LU1 chips through the USB HID programmer (04d8:003f)"};
    app.require_subcommand(1);
    // Global options may also follow the subcommand: "quillon-cli write --json ...".
    app.fallthrough();
    app.set_version_flag("--version", quillon::kCliVersion);
    app.add_flag("-q,--quiet", ctx.quiet, "Print only the result line (and errors)");
    app.add_flag("--json", ctx.json, "Print one JSON object per line (log, progress, result)");
    app.add_option("--lang", ctx.lang, "Language of the log lines")->check(CLI::IsMember({"en", "cn"}));
    auto* sim = app.add_option("--sim", ctx.sim.scenario,
                               "Use the simulated programmer instead of USB hardware (optional scenario name)")
                    ->expected(0, 1)
                    ->default_str("default")
                    ->check(CLI::Validator(
                        [](std::string& name) { return quillon::sim::SimPlatform::scenarioProblem(name); },
                        "SCENARIO"));
    // Without --sim these would be ignored and the run would go to real hardware.
    app.add_flag("--sim-paced", ctx.sim.paced, "Pace the simulated programmer like full-speed USB (1 report/ms)")
        ->needs(sim);
    app.add_option("--sim-flash", ctx.sim.flashFile,
                   "File that keeps the simulated chip's flash between runs (locked while a run uses it)")
        ->needs(sim);
    app.add_option("--sim-flash-dir", ctx.sim.flashDir,
                   "Directory that receives one file per simulated chip (chip-0001.bin, ...) with its flash")
        ->needs(sim);
    app.add_option("--sim-count", ctx.sim.programmers, "Number of simulated programmers")
        ->check(CLI::Range(1, 16))
        ->needs(sim);

    RegisterHex2Bin(app, ctx);
    RegisterList(app, ctx);
    RegisterProgram(app, ctx);
    RegisterStation(app, ctx);
    RegisterStore(app, ctx);
    RegisterReport(app, ctx);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const std::string hint = DashFileHint(ChosenCommand(ctx), argc, argv);
        // The hint goes right below CLI11's own line, before its pointer to --help.
        app.failure_message([&hint, argc, argv](const CLI::App* a, const CLI::Error& error) {
            const std::string simple = CLI::FailureMessage::simple(a, error);
            return WithoutPasswords(hint.empty() ? simple
                                                 : std::string(error.what()) + "\nquillon-cli: " + hint + "\n" +
                                                       simple.substr(std::string(error.what()).size() + 1),
                                    argc, argv);
        });
        // --help and --version end here too, successfully and without a result line.
        if (app.exit(e) == 0) return kExitOk;
        return UsageFailure(ctx, argc, argv, e.what(), hint);
    }
    ctx.sim.enabled = sim->count() > 0;
    quillon::Language = ctx.lang;
    const CliContext::Command* chosen = ChosenCommand(ctx);
    if (chosen == nullptr) return UsageFailure(ctx, argc, argv, "A subcommand is required", "");
    try {
        return chosen->run();
    } catch (const std::exception& e) {
        // Whatever failed, a script reading JSON still gets its result line.
        std::fprintf(stderr, "quillon-cli: %s\n", e.what());
        if (WantsJson(ctx, argc, argv))
            std::printf("%s\n", ResultJsonLine(chosen->app->get_name(), kExitError, e.what()).c_str());
        return kExitError;
    }
}
