// The shell on a terminal: readline's editing, history and Tab completion, read through its
// callback interface so that Ctrl-C at the prompt can drop the half-typed line.
#include "cli/CtrlC.h"
#include "cli/Errors.h"
#include "cli/Shell.h"

#include "net/Interrupt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <unistd.h>

#include <readline/history.h>
#include <readline/readline.h>

namespace cli {

namespace {

/// Lines kept in the history file.
constexpr int kHistoryLines = 1000;

/// What readline's C callbacks need: the words Tab completes, and the line read.
struct TerminalState {
    std::vector<std::string> commands;
    const std::vector<std::string>* addresses = nullptr;
    std::vector<std::string> choices; ///< of the completion in progress
    std::optional<std::string> line;
    bool ended = false; ///< Ctrl-D
};
TerminalState g_terminal;

char* nextChoice(const char* text, int state) {
    static std::size_t index = 0;
    if (state == 0) {
        index = 0;
    }
    const std::size_t length = std::strlen(text);
    while (index < g_terminal.choices.size()) {
        const std::string& choice = g_terminal.choices[index++];
        if (choice.compare(0, length, text) == 0) {
            return ::strdup(choice.c_str());
        }
    }
    return nullptr;
}

/// Command names for the first word; after a command that takes ADDR, the addresses that the
/// last find or census found.
char** complete(const char* text, int start, int) {
    ::rl_attempted_completion_over = 1; // no file names
    const std::string before(::rl_line_buffer, static_cast<std::size_t>(start));
    const std::size_t first = before.find_first_not_of(" \t");
    if (first == std::string::npos) {
        g_terminal.choices = g_terminal.commands;
        return ::rl_completion_matches(text, nextChoice);
    }
    const std::string command = before.substr(first, before.find_first_of(" \t", first) - first);
    const Command* row = findCommand(command);
    const bool secondWord =
        before.find_first_not_of(" \t", first + command.size()) == std::string::npos;
    if (row == nullptr || !secondWord || row->args.substr(0, 4) != "ADDR" ||
        g_terminal.addresses == nullptr) {
        return nullptr;
    }
    g_terminal.choices = *g_terminal.addresses;
    return ::rl_completion_matches(text, nextChoice);
}

void onLine(char* raw) {
    ::rl_callback_handler_remove();
    if (raw == nullptr) {
        g_terminal.ended = true;
        return;
    }
    g_terminal.line = raw;
    std::free(raw);
}

/// Ctrl-C at the prompt: the half-typed line is dropped and a fresh prompt shown, as in bash.
void dropLine(const std::string& prompt) {
    ::rl_free_line_state();
    ::rl_callback_sigcleanup();
    ::rl_replace_line("", 0);
    ::rl_callback_handler_remove();
    std::fputs("\n", stdout);
    std::fflush(stdout);
    ::rl_callback_handler_install(prompt.c_str(), onLine);
}

void keepInHistory(const std::string& line, const std::string& history) {
    if (line.find_first_not_of(" \t") == std::string::npos) {
        return;
    }
    ::add_history(line.c_str());
    if (!history.empty()) {
        // Appending at once keeps the line even if the program is killed later.
        if (::append_history(1, history.c_str()) != 0) {
            ::write_history(history.c_str());
        }
        ::history_truncate_file(history.c_str(), kHistoryLines);
    }
}

std::string openHistory() {
    const std::string history = historyPath();
    ::using_history();
    ::stifle_history(kHistoryLines);
    if (!history.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(history).parent_path(), ignored);
        ::read_history(history.c_str());
    }
    return history;
}

} // namespace

int Shell::runTerminal() {
    g_terminal.commands = commandNames();
    g_terminal.addresses = &known;
    ::rl_readline_name = "siclquill-cli";
    ::rl_attempted_completion_function = complete;
    ::rl_catch_signals = 0; // Ctrl-C is the program's (see CtrlC.h), not readline's
    const std::string history = openHistory();
    try {
        m_out.bytes("siclquill-cli " SICLQUILL_VERSION " on gateway " + m_runner.settings().server +
                    ". Type help for the commands, exit or Ctrl-D to leave.\n");
    } catch (const OutputError& e) {
        m_out.outputFailed(e.what());
        return kFailed;
    }
    int status = 0;
    while (!leave && !m_out.failed()) {
        const std::string prompt =
            current ? "siclquill " + current->typed + "> " : std::string("siclquill> ");
        clearInterrupt();
        g_terminal.line.reset();
        ::rl_callback_handler_install(prompt.c_str(), onLine);
        while (!g_terminal.line && !g_terminal.ended) {
            pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {net::interrupt::wakeFd(), POLLIN, 0}};
            ::poll(p, 2, -1);
            if (interrupted()) {
                clearInterrupt();
                dropLine(prompt);
            } else if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                ::rl_callback_read_char();
            } else if (p[1].revents != 0) {
                net::interrupt::clearWake(); // a trigger already taken
            }
        }
        if (g_terminal.ended) {
            std::fputs("\n", stdout);
            break;
        }
        keepInHistory(*g_terminal.line, history);
        if (blankOrComment(*g_terminal.line)) {
            continue;
        }
        if (const std::optional<int> result = runLine(*g_terminal.line)) {
            status = *result;
        }
    }
    return m_out.failed() ? kFailed : status;
}

} // namespace cli
