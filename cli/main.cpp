// quillon-cli: program nRF24LE1/nRF24LU1 chips from scripts, CI and production lines.
#include <clocale>
#include <cstdio>
#include <exception>

#include "cli/Cli.h"
#include "cli/Json.h"
#include "log/Log.h"
#include "sim/SimPlatform.h"

int main(int argc, char** argv) {
    using namespace quillon::cli;
    // The log's time stamp follows the user's date and time format.
    std::setlocale(LC_TIME, "");
    PrepareConsole();
    CliContext ctx;
    CLI::App app{"quillon-cli: program Nordic nRF24LE1 and nRF24LU1 chips through the USB HID programmer (04d8:003f)"};
    app.require_subcommand(1);
    // Global options may also follow the subcommand: "quillon-cli write --json ...".
    app.fallthrough();
    app.set_version_flag("--version", "quillon-cli 0.1.0");
    app.add_flag("-q,--quiet", ctx.quiet, "Print only the result line (and errors)");
    app.add_flag("--json", ctx.json, "Print one JSON object per line (log, progress, result)");
    app.add_option("--lang", ctx.lang, "Language of the log lines")->check(CLI::IsMember({"en", "cn"}));
    auto* sim = app.add_option("--sim", ctx.sim.scenario,
                               "Use the simulated programmer instead of USB hardware (optional scenario name)")
                    ->expected(0, 1)
                    ->default_str("default")
                    ->check(CLI::Validator(
                        [](std::string& name) {
                            return quillon::sim::SimPlatform::isScenario(name)
                                       ? std::string()
                                       : "unknown scenario '" + name + "' (see the README's simulator section)";
                        },
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }
    ctx.sim.enabled = sim->count() > 0;
    quillon::Language = ctx.lang;
    const CliContext::Command* chosen = nullptr;
    for (const auto& command : ctx.commands)
        if (command.app->parsed()) chosen = &command;
    if (chosen == nullptr) return kExitUsage;
    try {
        return chosen->run();
    } catch (const std::exception& e) {
        // Whatever failed, a script reading JSON still gets its result line.
        std::fprintf(stderr, "quillon-cli: %s\n", e.what());
        if (ctx.json)
            std::printf("%s\n", JsonLine("result")
                                    .Number("schema", kJsonSchema)
                                    .Text("op", chosen->app->get_name())
                                    .Flag("ok", false)
                                    .Number("exit", kExitError)
                                    .Text("message", e.what())
                                    .Str()
                                    .c_str());
        return kExitError;
    }
}
