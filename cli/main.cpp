// siclquill-cli: every gateway operation from a shell and from scripts.
#include "cli/CommandLine.h"
#include "cli/CtrlC.h"
#include "cli/Errors.h"
#include "cli/Shell.h"
#include "lan/LanLibrary.h"
#include "trace/TracingLibrary.h"

#include <algorithm>
#include <csignal>
#include <iostream>

namespace {

/// The command a bad command line names, for its error object ("" when none does).
std::string commandIn(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (const cli::Command* row = cli::findCommand(argv[i]); row != nullptr) {
            return std::string(row->name);
        }
    }
    return {};
}

bool wantsJson(int argc, char** argv) {
    return std::any_of(argv + 1, argv + argc,
                       [](const char* a) { return a == std::string("--json"); });
}

cli::Settings settingsOf(cli::CommandSet& commands) {
    const cli::GlobalOptions& g = commands.globals();
    cli::Settings settings;
    settings.server = g.server;
    settings.timeoutMs = cli::secondsToMs(g.timeoutS);
    settings.timeoutGiven = commands.app().get_option("--timeout")->count() > 0;
    settings.cr = g.cr;
    settings.lf = !g.noLf;
    settings.checkErrors = g.checkErrors == "esr"    ? cli::CheckErrors::Esr
                           : g.checkErrors == "syst" ? cli::CheckErrors::Syst
                                                     : cli::CheckErrors::None;
    settings.tracePath = trace::tracePath(g.trace);
    return settings;
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (`| head`, a closed trace pipe) must not kill a call midway:
    // the failed write is reported instead.
    std::signal(SIGPIPE, SIG_IGN);

    cli::CommandSet commands(false);
    try {
        commands.app().parse(argc, argv);
        cli::checkServer(commands.globals().server);
    } catch (const CLI::Success& e) {
        return commands.app().exit(e); // --help, --version
    } catch (const CLI::ParseError& e) {
        cli::Output out(wantsJson(argc, argv), std::cout, std::cerr);
        cli::reportUsage(out, commandIn(argc, argv), cli::parseErrorText(e), true);
        std::cerr << "Run 'siclquill-cli --help' for the commands.\n";
        return out.finish() ? cli::kBadUsage : cli::kFailed;
    } catch (const cli::UsageError& e) {
        cli::Output out(wantsJson(argc, argv), std::cout, std::cerr);
        cli::reportUsage(out, commandIn(argc, argv), e.what(), true);
        return out.finish() ? cli::kBadUsage : cli::kFailed;
    }
    const cli::GlobalOptions& g = commands.globals();
    const cli::Settings settings = settingsOf(commands);

    lan::LanLibrary::Options options;
    options.defaultTimeout = std::chrono::milliseconds(settings.timeoutMs);
    lan::LanLibrary library(options);
    const auto traced = trace::traceIfAsked(library, settings.tracePath, std::cerr);
    sicl::InstrumentLibrary& entries =
        traced ? static_cast<sicl::InstrumentLibrary&>(*traced) : library;

    cli::Output out(g.json, std::cout, std::cerr);
    int status = cli::kOk;
    {
        cli::Runner runner(entries, settings, out);
        cli::installCtrlC();
        if (commands.chosen() != nullptr) {
            status = commands.run(runner, out, nullptr);
        } else {
            cli::ctrlCNeverEnds();
            cli::Shell shell(runner, out, g.stopOnError);
            status = shell.run(std::cin);
        }
    }
    // The last bytes leave with this flush: its failure is a failure of the program too.
    return out.finish() ? status : cli::kFailed;
}
