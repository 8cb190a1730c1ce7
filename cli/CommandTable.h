#pragma once
// The commands of siclquill-cli as one table: a row per command with its name, help, operands
// and options, the fields of its JSON results and the function that runs it. The command line
// and the shell are both built from it, so a new command is one row and one function.

#include "cli/DeviceAddress.h"
#include "cli/Runner.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

/// Exit statuses.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kBadUsage = 2;

/// The values a command line or a shell line gives a command; an option left out stays
/// empty. Reset before every parse.
struct CommandValues {
    std::optional<std::string> addr;
    std::optional<std::string> text; ///< TEXT, or the one word of STATE, COMMAND, SECONDS ...
    std::vector<std::string> words;  ///< BYTES or TARGETs
    std::optional<std::size_t> max;
    bool raw = false;
    bool block = false;
    bool hex = false;
    std::optional<std::string> out;
    std::optional<std::string> until;
    std::optional<std::string> file;
    bool wrapBlock = false;
    bool secondary = false;
    bool dryRun = false;
    std::optional<std::uint64_t> count;
    std::optional<double> durationS;
    double intervalMs = 0;
    bool lockEach = false;
    bool stopOnError = false;
    std::optional<double> waitS;
    bool intr = false;
    std::optional<std::string> sharedKey;
    int port = 111;
    int hislipPort = 4880;
    int socketPort = 5025;
};

/// What the interactive shell keeps from line to line, for the commands only it has.
class ShellState {
public:
    virtual ~ShellState() = default;

    std::optional<DeviceAddress> current; ///< set by `use`
    std::vector<std::string> known;       ///< addresses the last find or census found (for Tab)
    bool leave = false;                   ///< exit or quit ran

    /// The help of one command, or of all when `command` is empty; UsageError for no such one.
    virtual std::string helpText(const std::string& command) const = 0;
    /// Runs the lines of a file as if typed; returns the status of the last one run.
    virtual int source(const std::string& path) = 0;
};

/// How a command takes TEXT.
enum class TextNeed { None, Required, Optional };

/// What a command's function gets.
struct Context {
    Runner& runner;
    Output& out;
    CommandValues& values;
    std::string_view name; ///< the command as it was called
    ShellState* shell;     ///< null in one-shot mode
    std::string address{}; ///< the device the command works on, once known (for errors)

    /// The device the command names: ADDR; in the shell also the current address of `use`
    /// when ADDR is left out. One word where ADDR TEXT could stand is ADDR when it reads as
    /// an address (as in one-shot mode), else the TEXT for the current address. Throws
    /// UsageError when TEXT is needed and missing: nothing is sent then.
    DeviceAddress device(TextNeed text);
};

/// One command.
struct Command {
    std::string_view name;
    std::string_view help;
    /// Operands and options by their names in the argument catalogue ("ADDR TEXT --max");
    /// `[NAME]` is an optional operand. ADDR may be left out in the shell after `use`. LINE
    /// takes the rest of a shell line as it is.
    std::string_view args;
    /// The fields of its JSON objects; empty when it prints none of its own.
    std::string_view json;
    bool shellOnly;
    int (*run)(Context&);
};

/// Every command, in the order help lists them.
std::span<const Command> commandTable();

/// The row of `name`, or null.
const Command* findCommand(std::string_view name);

} // namespace cli
