#include "cli/Shell.h"

#include "cli/CtrlC.h"
#include "cli/Errors.h"
#include "cli/InputFile.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <unistd.h>

namespace cli {

namespace {

/// Source files open at once (a file that sources itself stops here).
constexpr int kMostSourceDepth = 16;

/// Most bytes of a file that `source` runs.
constexpr std::uintmax_t kMostScriptBytes = 16 * 1024 * 1024;

} // namespace

bool blankOrComment(const std::string& line) {
    const std::size_t first = line.find_first_not_of(" \t\r\n");
    return first == std::string::npos || line[first] == '#';
}

std::string historyPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::filesystem::path dir;
    if (state != nullptr && *state == '/') {
        dir = state;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        dir = std::filesystem::path(home) / ".local" / "state";
    } else {
        return {};
    }
    return (dir / "siclquill" / "cli_history").string();
}

std::optional<int> Shell::runLine(const std::string& line) {
    try {
        return runOneLine(line);
    } catch (const OutputError& e) {
        m_out.outputFailed(e.what());
        return kFailed;
    }
}

std::optional<int> Shell::runOneLine(const std::string& line) {
    if (blankOrComment(line)) {
        return 0;
    }
    clearInterrupt();
    const std::string first = line.substr(line.find_first_not_of(" \t"));
    const std::string name = first.substr(0, first.find_first_of(" \t\r\n"));
    if (findCommand(name) == nullptr) {
        return reportUsage(m_out, {}, "unknown command '" + name + "'; type help", false);
    }
    try {
        m_commands.parseLine(line);
    } catch (const CLI::CallForHelp&) {
        m_out.bytes(m_commands.helpText(name));
        return 0;
    } catch (const CLI::ParseError& e) {
        return reportUsage(m_out, name, parseErrorText(e), false);
    } catch (const UsageError& e) {
        return reportUsage(m_out, name, e.what(), false);
    }
    const int status = m_commands.run(m_runner, m_out, this);
    if (leave) {
        return std::nullopt;
    }
    return status;
}

std::string Shell::helpText(const std::string& command) const {
    return m_commands.helpText(command);
}

int Shell::runScript(std::istream& input) {
    int status = 0;
    std::string line;
    while (!leave && !m_out.failed() && std::getline(input, line)) {
        // A blank line or a comment is no command: the status stays that of the last one.
        if (blankOrComment(line)) {
            continue;
        }
        const std::optional<int> result = runLine(line);
        if (!result) {
            break;
        }
        status = *result;
        // Ctrl-C ends the command that runs and the script it belongs to.
        if ((status != 0 && m_stopOnError) || interrupted()) {
            break;
        }
    }
    return m_out.failed() ? kFailed : status;
}

int Shell::source(const std::string& path) {
    if (m_depth >= kMostSourceDepth) {
        throw Failure("source files nested deeper than " + std::to_string(kMostSourceDepth));
    }
    std::istringstream lines(
        InputFile(path, kMostScriptBytes, "16 MiB").readAll(net::Deadline::never()));
    ++m_depth;
    const int status = runScript(lines);
    --m_depth;
    return status;
}

int Shell::run(std::istream& input) {
    if (::isatty(STDIN_FILENO) == 1 && &input == &std::cin) {
        return runTerminal();
    }
    return runScript(input);
}

} // namespace cli
