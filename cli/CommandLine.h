#pragma once

#include "cli/Commands.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
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
};

/// Exit statuses.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kBadUsage = 2;

/// The values a command line or a shell line gives a command.
struct CommandValues {
    std::string addr;
    std::string text;
    std::vector<std::string> words;
    std::size_t max = 0;
    bool raw = false;
    bool block = false;
    std::string out;
    bool secondary = false;
    bool dryRun = false;
    std::uint64_t count = 0;
    double durationS = 0;
    double intervalMs = 0;
    bool lockEach = false;
    bool stopOnError = false;
    double waitS = 0;
    bool intr = false;
    int port = 111;
};

/// The commands as CLI11 parses them, for the command line (with the global options) or for
/// one line of the interactive shell (with `use`, `q`, `w`, `r`, `help` and `exit`). The parsed
/// values are kept until the next parse.
class CommandSet {
public:
    explicit CommandSet(bool shell);

    CLI::App& app() noexcept { return m_app; }
    GlobalOptions& globals() noexcept { return m_globals; }
    /// Names of the commands (for completion and help).
    std::vector<std::string> commandNames() const;

    /// Parses `words` (no program name first); throws CLI::ParseError.
    void parse(std::vector<std::string> words);
    /// The command that the last parse found, or null.
    CLI::App* command() const;

    /// Runs the parsed command and prints its result; `current` is the shell's address of
    /// `use`, if any. Returns the exit status.
    int run(Runner& runner, Output& out, std::optional<DeviceAddress>& current);

private:
    CLI::App* addCommand(const std::string& name, const std::string& description,
                         const std::string& jsonFields);
    void addAddress(CLI::App* command, bool withText);
    void addReadOptions(CLI::App* command);
    /// The device a device command names: ADDR, or in the shell the current address when
    /// ADDR is left out (then the only word given is the TEXT).
    DeviceAddress device(CLI::App* command, bool withText,
                         const std::optional<DeviceAddress>& current);
    ReadOptions readOptions(CLI::App* command) const;
    int dispatch(CLI::App* command, Runner& runner, Output& out,
                 std::optional<DeviceAddress>& current);

    bool m_shell;
    CLI::App m_app;
    GlobalOptions m_globals;
    CommandValues m_values;
};

/// Runs `body` as command `name`: a library failure prints its number and text and gives
/// kFailed, UsageError its text (and with `showUsage` the usage line) and kBadUsage, Failure
/// its text and kFailed.
int runGuarded(const std::string& name, Output& out, bool showUsage,
               const std::function<int()>& body);

/// Splits one shell line into words: blanks separate, '...' keeps everything, "..." keeps all
/// but \" and \\, and a backslash outside quotes keeps the next character. Throws UsageError
/// for an unterminated quote.
std::vector<std::string> splitWords(const std::string& line);

} // namespace cli
