// siclquill-cli: every gateway operation from a shell and from scripts.
#include "cli/CommandLine.h"
#include "cli/Errors.h"
#include "cli/Shell.h"
#include "lan/LanLibrary.h"
#include "trace/TracingLibrary.h"

#include <csignal>
#include <iostream>

namespace {

/// True in the interactive shell, which Ctrl-C must never end.
volatile std::sig_atomic_t g_shell = 0;

void onInterrupt(int) {
    if (cli::g_interruptible.load() || g_shell != 0) {
        cli::g_interrupted.store(true);
        return;
    }
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (`| head`, a closed trace pipe) must not kill a call midway.
    std::signal(SIGPIPE, SIG_IGN);

    cli::CommandSet commands(false);
    try {
        commands.app().parse(argc, argv);
    } catch (const CLI::Success& e) {
        return commands.app().exit(e); // --help, --version
    } catch (const CLI::ParseError& e) {
        std::cerr << "siclquill-cli: " << e.what() << '\n'
                  << cli::kUsageLine << "\nRun 'siclquill-cli --help' for the commands.\n";
        return cli::kBadUsage;
    }
    const cli::GlobalOptions& g = commands.globals();
    try {
        cli::checkServer(g.server);
    } catch (const cli::UsageError& e) {
        std::cerr << "siclquill-cli: " << e.what() << '\n' << cli::kUsageLine << '\n';
        return cli::kBadUsage;
    }

    cli::Settings settings;
    settings.server = g.server;
    // Any positive time-out gets at least 1 ms, so that it never turns into "none".
    const auto ms = static_cast<std::int32_t>(g.timeoutS * 1000.0 + 0.5);
    settings.timeoutMs = g.timeoutS > 0 ? std::max<std::int32_t>(ms, 1) : 0;
    settings.timeoutGiven = commands.app().get_option("--timeout")->count() > 0;
    settings.cr = g.cr;
    settings.lf = !g.noLf;

    lan::LanLibrary::Options options;
    options.defaultTimeout = std::chrono::milliseconds(settings.timeoutMs);
    lan::LanLibrary library(options);
    const auto traced = trace::traceIfAsked(library, trace::tracePath(g.trace), std::cerr);
    sicl::InstrumentLibrary& entries =
        traced ? static_cast<sicl::InstrumentLibrary&>(*traced) : library;

    cli::Output out(g.json, std::cout, std::cerr);
    cli::Runner runner(entries, settings, out);
    std::optional<cli::DeviceAddress> current;
    std::signal(SIGINT, onInterrupt);
    if (commands.command() != nullptr) {
        return commands.run(runner, out, current);
    }
    g_shell = 1;
    cli::Shell shell(runner, out);
    return shell.run(std::cin);
}
