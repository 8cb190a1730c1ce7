#include "cli/Shell.h"

#include "cli/Errors.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

#include <readline/history.h>
#include <readline/readline.h>

namespace cli {

namespace {

/// Lines kept in the history file.
constexpr int kHistoryLines = 1000;

/// The command names that Tab completes, for readline's C callbacks.
std::vector<std::string> g_names;

char* nextName(const char* text, int state) {
    static std::size_t index = 0;
    if (state == 0) {
        index = 0;
    }
    const std::size_t length = std::strlen(text);
    while (index < g_names.size()) {
        const std::string& name = g_names[index++];
        if (name.compare(0, length, text) == 0) {
            return ::strdup(name.c_str());
        }
    }
    return nullptr;
}

char** completeCommand(const char* text, int start, int) {
    ::rl_attempted_completion_over = 1; // no file names
    return start == 0 ? ::rl_completion_matches(text, nextName) : nullptr;
}

std::string trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

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

std::optional<int> Shell::runLine(const std::string& rawLine) {
    const std::string line = trimmed(rawLine);
    if (line.empty() || line.front() == '#') {
        return 0;
    }
    // q and w take the rest of the line as it is, so instrument text needs no quotes.
    const std::size_t blank = line.find_first_of(" \t");
    const std::string first = line.substr(0, blank);
    if (first == "q" || first == "w") {
        const std::string text = blank == std::string::npos ? "" : trimmed(line.substr(blank));
        return runGuarded(first, m_out, false, [&] {
            if (!m_current) {
                throw UsageError("works on the current address: `use ADDR` first");
            }
            if (first == "q") {
                m_runner.query(*m_current, text, {});
            } else {
                m_runner.write(*m_current, text);
            }
            return kOk;
        });
    }
    const std::vector<std::string> names = m_commands.commandNames();
    if (std::find(names.begin(), names.end(), first) == names.end()) {
        m_out.err() << "siclquill-cli: unknown command '" << first << "'; type help\n";
        return kBadUsage;
    }
    try {
        m_commands.parse(splitWords(line));
    } catch (const CLI::CallForHelp&) {
        m_out.out() << m_commands.app().help();
        return 0;
    } catch (const CLI::ParseError& e) {
        m_out.err() << "siclquill-cli: " << e.what() << "\n";
        return kBadUsage;
    } catch (const UsageError& e) {
        m_out.err() << "siclquill-cli: " << e.what() << "\n";
        return kBadUsage;
    }
    const CLI::App* command = m_commands.command();
    if (command != nullptr && (command->get_name() == "exit" || command->get_name() == "quit")) {
        return std::nullopt;
    }
    return m_commands.run(m_runner, m_out, m_current);
}

int Shell::run(std::istream& input) {
    if (::isatty(STDIN_FILENO) == 1 && &input == &std::cin) {
        return runInteractive();
    }
    int status = 0;
    std::string line;
    while (std::getline(input, line)) {
        const std::optional<int> result = runLine(line);
        if (!result) {
            break;
        }
        status = *result;
    }
    return status;
}

int Shell::runInteractive() {
    g_names = m_commands.commandNames();
    ::rl_readline_name = "siclquill-cli";
    ::rl_attempted_completion_function = completeCommand;
    const std::string history = historyPath();
    ::using_history();
    ::stifle_history(kHistoryLines);
    if (!history.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(history).parent_path(), ignored);
        ::read_history(history.c_str());
    }
    m_out.out() << "siclquill-cli " << SICLQUILL_VERSION << " on gateway "
                << m_runner.settings().server
                << ". Type help for the commands, exit or Ctrl-D to leave.\n";
    int status = 0;
    for (;;) {
        const std::string prompt =
            m_current ? "siclquill " + m_current->typed + "> " : std::string("siclquill> ");
        char* raw = ::readline(prompt.c_str());
        if (raw == nullptr) {
            m_out.out() << "\n";
            break;
        }
        const std::string line(raw);
        std::free(raw);
        if (!trimmed(line).empty()) {
            ::add_history(line.c_str());
            if (!history.empty()) {
                // Appending at once keeps the line even if the program is killed later.
                if (::append_history(1, history.c_str()) != 0) {
                    ::write_history(history.c_str());
                }
                ::history_truncate_file(history.c_str(), kHistoryLines);
            }
        }
        const std::optional<int> result = runLine(line);
        if (!result) {
            break;
        }
        status = *result;
    }
    return status;
}

} // namespace cli
