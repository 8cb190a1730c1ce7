#pragma once

#include "cli/CommandTable.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

/// "Usage: siclquill-cli [OPTIONS] COMMAND [ARGS]".
extern const char* const kUsageLine;

/// What the global options say.
struct GlobalOptions {
    std::string server = "127.0.0.1";
    double timeoutS = 10;
    bool json = false;
    std::optional<std::string> trace;
    bool cr = false;
    bool noLf = false;
    bool stopOnError = false;
    std::string checkErrors; ///< "", "syst" or "esr"
};

/// The commands of the table as CLI11 parses them: for the command line (with the global
/// options, and without the shell's own commands) or for one line of the interactive shell.
/// Each command's CLI11 callback picks its row; run() calls the row's function.
class CommandSet {
public:
    explicit CommandSet(bool shell);

    CLI::App& app() noexcept { return m_app; }
    GlobalOptions& globals() noexcept { return m_globals; }
    /// Names of the commands (for completion and help).
    std::vector<std::string> commandNames() const;

    /// Parses `words` (no program name first); throws CLI::ParseError.
    void parse(std::vector<std::string> words);
    /// Parses one shell line: a command that takes LINE gets the rest of the line as it is
    /// (blanks around it dropped); any other is split into words. Throws CLI::ParseError or
    /// UsageError.
    void parseLine(const std::string& line);
    /// The row that the last parse picked, or null.
    const Command* chosen() const noexcept { return m_chosen; }

    /// Runs the picked command and prints its result; `shell` is null in one-shot mode.
    /// Returns the exit status.
    int run(Runner& runner, Output& out, ShellState* shell);

    /// The help of one command (UsageError if there is none), or of all for "".
    std::string helpText(const std::string& command) const;

private:
    void addGlobalOptions();
    void addCommand(const Command& row);

    bool m_shell;
    CLI::App m_app;
    GlobalOptions m_globals;
    CommandValues m_values;
    const Command* m_chosen = nullptr;
};

/// Runs `body` as command `c.name`: a library failure prints its number and text and gives
/// kFailed (error 104 also tells the runner that the connection was lost), UsageError its
/// text (and with `showUsage` the usage line) and kBadUsage, Failure its text and kFailed,
/// and a failed standard output its one message and kFailed.
int runGuarded(Context& c, bool showUsage, const std::function<int()>& body);

/// Reports bad usage of `command` (empty: unknown): the text on the error stream (with the
/// usage line when `showUsage`), in JSON mode also an error object. Returns kBadUsage.
int reportUsage(Output& out, std::string_view command, std::string_view text, bool showUsage);

/// The text of a CLI11 parse error, in words ("--count must be a whole number, at least 1").
std::string parseErrorText(const CLI::ParseError& e);

/// Splits one shell line into words: blanks separate, '...' keeps everything, "..." keeps all
/// but \" and \\, and a backslash outside quotes keeps the next character. Throws UsageError
/// for an unterminated quote.
std::vector<std::string> splitWords(const std::string& line);

/// Milliseconds of a time in seconds (checked before: finite, 0 to 2000000); any positive
/// time is at least 1 ms, so that it never turns into "no time-out".
std::int32_t secondsToMs(double seconds);

} // namespace cli
