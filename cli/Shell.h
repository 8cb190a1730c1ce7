#pragma once

#include "cli/CommandLine.h"

#include <istream>
#include <optional>
#include <string>

namespace cli {

/// The interactive shell: the commands of the command line one line at a time, with `use ADDR`
/// and the short forms `q TEXT`, `w TEXT` and `r` on the current address.
class Shell {
public:
    Shell(Runner& runner, Output& out) : m_runner(runner), m_out(out) {}

    /// Runs one line; returns its exit status, or nothing when the line ends the shell.
    std::optional<int> runLine(const std::string& line);

    /// Reads lines with readline (editing, history, Tab completion) on a terminal, or plainly
    /// from `input` otherwise, until exit or end of input. Returns the status of the last
    /// command.
    int run(std::istream& input);

private:
    int runInteractive();

    Runner& m_runner;
    Output& m_out;
    CommandSet m_commands{true};
    std::optional<DeviceAddress> m_current;
};

/// Where the shell keeps its history: $XDG_STATE_HOME/siclquill/cli_history, or
/// ~/.local/state/siclquill/cli_history; empty when neither is known.
std::string historyPath();

} // namespace cli
