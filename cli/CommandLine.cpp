#include "cli/CommandLine.h"

#include "cli/Answer.h"
#include "cli/Arguments.h"
#include "cli/Errors.h"
#include "library/LibraryError.h"
#include "sicl/SiclError.h"

#include <algorithm>
#include <cmath>

namespace cli {

const char* const kUsageLine = "Usage: siclquill-cli [OPTIONS] COMMAND [ARGS]";

namespace {

std::string trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

/// The words of a row's argument list.
std::vector<std::string_view> argumentNames(std::string_view args) {
    std::vector<std::string_view> names;
    while (!args.empty()) {
        const std::size_t blank = args.find(' ');
        names.push_back(args.substr(0, blank));
        args = blank == std::string_view::npos ? std::string_view() : args.substr(blank + 1);
    }
    return names;
}

} // namespace

CommandSet::CommandSet(bool shell)
    : m_shell(shell), m_app(shell ? "Commands of the siclquill-cli shell"
                                  : "Every gateway operation from a shell "
                                    "and from scripts.",
                            shell ? "" : "siclquill-cli") {
    m_app.require_subcommand(0, 1);
    if (!shell) {
        addGlobalOptions();
    }
    for (const Command& row : commandTable()) {
        if (shell || !row.shellOnly) {
            addCommand(row);
        }
    }
}

void CommandSet::addGlobalOptions() {
    m_app.set_version_flag("--version", std::string("siclquill-cli ") + SICLQUILL_VERSION);
    m_app.add_option("-s,--server", m_globals.server, "the gateway, HOST[:PORT]")
        ->envname("SICLQUILL_SERVER")
        ->type_name("HOST[:PORT]")
        ->default_str("127.0.0.1");
    m_app
        .add_option("-t,--timeout", m_globals.timeoutS,
                    "time-out of every call in seconds (decimals allowed; 0: none)")
        ->type_name("SECONDS")
        ->check(secondsCheck())
        ->default_str("10");
    m_app.add_flag("--json", m_globals.json, "one JSON object per result on standard output");
    m_app.add_option("--trace", m_globals.trace, "record every library call to FILE")
        ->type_name("FILE");
    m_app.add_flag("--cr", m_globals.cr, "end written text with CR (before the LF)");
    m_app.add_flag("--no-lf", m_globals.noLf, "do not end written text with LF");
    m_app.add_flag("--stop-on-error", m_globals.stopOnError,
                   "end a script (lines on standard input, source) at its first failed line");
    m_app
        .add_flag("--check-errors{syst}", m_globals.checkErrors,
                  "after each write ask SYST:ERR? (=esr: *ESR?); an error fails the command")
        ->check(CLI::IsMember({"syst", "esr"}));
    m_app.footer("ADDR: 22 (primary address), 502 (primary 5, secondary 2), 5,2, or a VXI-11\n"
                 "device name such as inst0 or hpib,7, behind the gateway of -s; or a VISA\n"
                 "resource: TCPIP::HOST[::NAME]::INSTR (VXI-11; HiSLIP for hislip0 or\n"
                 "hislip0,PORT) or TCPIP::HOST::PORT::SOCKET (a raw SCPI socket).\n"
                 "Without COMMAND: an interactive shell.\n"
                 "Exit status: 0 done, 1 failed operation, 2 bad usage.");
}

void CommandSet::addCommand(const Command& row) {
    CLI::App* command = m_app.add_subcommand(std::string(row.name), std::string(row.help));
    if (!row.json.empty()) {
        command->footer("With --json: {" + std::string(row.json) + "}");
    }
    for (std::string_view name : argumentNames(row.args)) {
        const bool optional = name.front() == '[';
        if (optional) {
            name = name.substr(1, name.size() - 2);
        }
        // In the shell ADDR may be left out after `use`, and TEXT then stands alone.
        const bool required = !optional && (!m_shell || (name != "ADDR" && name != "TEXT"));
        addArgument(*command, name, m_values, required);
    }
    command->callback([this, &row] { m_chosen = &row; });
}

std::vector<std::string> CommandSet::commandNames() const {
    std::vector<std::string> names;
    for (const CLI::App* command : m_app.get_subcommands({})) {
        names.push_back(command->get_name());
    }
    return names;
}

void CommandSet::parse(std::vector<std::string> words) {
    m_values = CommandValues{};
    m_chosen = nullptr;
    m_app.clear();
    std::reverse(words.begin(), words.end());
    m_app.parse(words);
}

void CommandSet::parseLine(const std::string& rawLine) {
    const std::string line = trimmed(rawLine);
    const std::size_t blank = line.find_first_of(" \t");
    const Command* row = findCommand(line.substr(0, blank));
    if (row != nullptr && row->args == "LINE") {
        m_values = CommandValues{};
        m_app.clear();
        if (blank != std::string::npos) {
            m_values.text = trimmed(line.substr(blank));
        }
        m_chosen = row;
        return;
    }
    parse(splitWords(line));
}

std::string CommandSet::helpText(const std::string& command) const {
    if (command.empty()) {
        return m_app.get_formatter()->make_help(&m_app, "", CLI::AppFormatMode::Normal);
    }
    try {
        return m_app.get_subcommand(command)->help();
    } catch (const CLI::OptionNotFound&) {
        throw UsageError("no command " + command);
    }
}

int CommandSet::run(Runner& runner, Output& out, ShellState* shell) {
    if (m_chosen == nullptr) {
        return kOk;
    }
    Context c{runner, out, m_values, m_chosen->name, shell};
    return runGuarded(c, !m_shell, [&] { return m_chosen->run(c); });
}

int reportUsage(Output& out, std::string_view command, std::string_view text, bool showUsage) {
    try {
        out.error(command, {}, std::nullopt, text, true);
    } catch (const OutputError& e) {
        out.outputFailed(e.what());
    }
    if (showUsage) {
        out.err() << kUsageLine << '\n';
    }
    return kBadUsage;
}

namespace {

/// Reports a library failure, and what came of an answer it cut short, if anything did.
int libraryFailure(Context& c, const sicl::SiclError& e, const PartialAnswer* partial) {
    if (e.number() == library::liberr::kConnectionLost) {
        c.runner.connectionLost();
    }
    c.out.error(c.name, c.address, e.number(), e.description(), false,
                partial != nullptr ? partial->fields : Json());
    if (partial != nullptr) {
        c.out.err() << "siclquill-cli: " << c.name << ": " << partial->note << std::endl;
    }
    return kFailed;
}

} // namespace

int runGuarded(Context& c, bool showUsage, const std::function<int()>& body) {
    try {
        try {
            return body();
        } catch (const UsageError& e) {
            return reportUsage(c.out, c.name, e.what(), showUsage);
        } catch (const CutAnswer& e) {
            return libraryFailure(c, e, &e.partial);
        } catch (const sicl::SiclError& e) {
            return libraryFailure(c, e, nullptr);
        } catch (const Failure& e) {
            c.out.error(c.name, c.address, std::nullopt, e.what());
            return kFailed;
        }
    } catch (const OutputError& e) {
        c.out.outputFailed(e.what());
        return kFailed;
    }
}

std::string parseErrorText(const CLI::ParseError& e) {
    std::string text = e.what();
    // CLI11 puts the option's name before the check's words: "--count: must be ...".
    const std::size_t at = text.find(": must be ");
    if (at != std::string::npos) {
        text.erase(at, 1);
    }
    return text;
}

std::int32_t secondsToMs(double seconds) {
    const auto ms = static_cast<std::int32_t>(std::llround(seconds * 1000.0));
    return seconds > 0 ? std::max<std::int32_t>(ms, 1) : 0;
}

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\'' || c == '"') {
            const std::size_t close = [&] {
                for (std::size_t j = i + 1; j < line.size(); ++j) {
                    if (c == '"' && line[j] == '\\' && j + 1 < line.size() &&
                        (line[j + 1] == '"' || line[j + 1] == '\\')) {
                        word += line[++j];
                        continue;
                    }
                    if (line[j] == c) {
                        return j;
                    }
                    word += line[j];
                }
                return std::string::npos;
            }();
            if (close == std::string::npos) {
                throw UsageError(std::string("unterminated ") + c);
            }
            i = close;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
        } else {
            word += c;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

} // namespace cli
