#pragma once

#include "cli/CommandLine.h"

#include <istream>
#include <optional>
#include <string>

namespace cli {

/// The interactive shell: the commands of the command line one line at a time, with `use ADDR`
/// and the short forms `q TEXT`, `w TEXT` and `r` on the current address.
class Shell : public ShellState {
public:
    /// `stopOnError`: a script (lines from a pipe or a file, not typed) ends at its first
    /// failed line.
    Shell(Runner& runner, Output& out, bool stopOnError)
        : m_runner(runner), m_out(out), m_stopOnError(stopOnError) {}

    /// Runs one line; returns its exit status, or nothing when the line ends the shell.
    std::optional<int> runLine(const std::string& line);

    /// Reads lines with readline (editing, history, Tab completion, Ctrl-C) on a terminal, or
    /// plainly from `input` otherwise, until exit or end of input. Returns the status of the
    /// last command (of the failed one, when a script stopped there).
    int run(std::istream& input);

    std::string helpText(const std::string& command) const override;
    int source(const std::string& path) override;

    /// Names of the commands, and the addresses Tab completes after a command that takes
    /// ADDR (those of the last find or census).
    std::vector<std::string> commandNames() const { return m_commands.commandNames(); }

private:
    std::optional<int> runOneLine(const std::string& line);
    /// Runs the lines of a script; stops at exit, at a failed line with --stop-on-error, or
    /// when standard output failed.
    int runScript(std::istream& input);
    int runTerminal();

    Runner& m_runner;
    Output& m_out;
    bool m_stopOnError;
    CommandSet m_commands{true};
    int m_depth = 0; ///< source files open at once
};

/// True for a line that is no command: blank, or a comment (`#` first).
bool blankOrComment(const std::string& line);

/// Where the shell keeps its history: $XDG_STATE_HOME/siclquill/cli_history, or
/// ~/.local/state/siclquill/cli_history; empty when neither is known.
std::string historyPath();

} // namespace cli
