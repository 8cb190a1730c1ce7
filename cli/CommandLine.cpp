#include "cli/CommandLine.h"

#include "cli/BusBytes.h"
#include "cli/Discover.h"
#include "cli/Errors.h"
#include "sicl/SiclError.h"

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace cli {

const char* const kUsageLine = "Usage: siclquill-cli [OPTIONS] COMMAND [ARGS]";

namespace {

using namespace std::chrono;

/// Device commands that name one instrument and take nothing else.
const std::vector<std::pair<std::string, std::string>> kDeviceOperations = {
    {"spoll", "serial poll: the status byte"},
    {"clear", "device clear"},
    {"trigger", "device trigger"},
    {"local", "go to local (GTL on the bus; device_local for a device name)"},
    {"remote", "assert REN and address the device, which goes to remote (device_remote for a "
               "device name)"},
    {"lock", "lock the device for this program (the shell keeps it until unlock)"},
    {"unlock", "release the lock"},
};

bool isDeviceOperation(const std::string& name) {
    return std::any_of(kDeviceOperations.begin(), kDeviceOperations.end(),
                       [&](const auto& op) { return op.first == name; });
}

bool onOff(const std::string& word) {
    if (word == "on" || word == "1") {
        return true;
    }
    if (word == "off" || word == "0") {
        return false;
    }
    throw UsageError("expected on or off, not '" + word + "'");
}

milliseconds secondsToMs(double seconds) {
    // Any positive time gets at least 1 ms, so that it never turns into "no time-out".
    const auto ms = static_cast<std::int64_t>(std::llround(seconds * 1000.0));
    return milliseconds(seconds > 0 ? std::max<std::int64_t>(ms, 1) : 0);
}

} // namespace

CommandSet::CommandSet(bool shell)
    : m_shell(shell), m_app(shell ? "Commands of the siclquill-cli shell"
                                  : "Every gateway operation from a shell "
                                    "and from scripts.",
                            shell ? "" : "siclquill-cli") {
    m_app.require_subcommand(0, 1);
    if (!shell) {
        m_app.set_version_flag("--version", std::string("siclquill-cli ") + SICLQUILL_VERSION);
        m_app.add_option("-s,--server", m_globals.server, "the gateway, HOST[:PORT]")
            ->envname("SICLQUILL_SERVER")
            ->type_name("HOST[:PORT]")
            ->default_str("127.0.0.1");
        m_app
            .add_option("-t,--timeout", m_globals.timeoutS,
                        "time-out of every call in seconds (decimals allowed; 0: none)")
            ->type_name("SECONDS")
            ->check(CLI::Range(0.0, 2000000.0))
            ->default_str("10");
        m_app.add_flag("--json", m_globals.json, "one JSON object per result on standard output");
        m_app.add_option("--trace", m_globals.trace, "record every library call to FILE")
            ->type_name("FILE");
        m_app.add_flag("--cr", m_globals.cr, "end written text with CR (before the LF)");
        m_app.add_flag("--no-lf", m_globals.noLf, "do not end written text with LF");
        m_app.footer("ADDR: 22 (primary address), 502 (primary 5, secondary 2), 5,2, or a VXI-11\n"
                     "device name such as inst0 or hpib,7. Without COMMAND: an interactive shell.\n"
                     "Exit status: 0 done, 1 failed operation, 2 bad usage.");
    }

    addCommand("find", "the listeners on the bus (UNL, MTA, MLA, then NDAC)",
               "{command, address, pad, sad}")
        ->add_flag("--secondary", m_values.secondary,
                   "also probe the secondary addresses (MSA) of each primary");
    addCommand("census", "find, then *IDN? to each listener within the time-out",
               "{command, address, idn (null: no answer)}")
        ->add_flag("--secondary", m_values.secondary, "also find secondary addresses");
    CLI::App* query = addCommand("query", "write TEXT, then read the answer",
                                 "{command, address, bytes, answer, block_bytes, file}");
    addAddress(query, true);
    addReadOptions(query);
    addAddress(
        addCommand("write", "write TEXT with the terminators and END", "{command, address, bytes}"),
        true);
    CLI::App* read = addCommand("read", "read one answer",
                                "{command, address, bytes, answer, block_bytes, file}");
    addAddress(read, false);
    addReadOptions(read);
    for (const auto& [name, description] : kDeviceOperations) {
        addAddress(addCommand(name, description,
                              name == "spoll" ? "{command, address, stb}" : "{command, address}"),
                   false);
    }
    addCommand("status", "the bus lines and whatever else the gateway tells",
               "{command, REN, SRQ, NDAC, system_controller, controller_in_charge, talker, "
               "listener, bus_address}");
    addCommand("ifc", "interface clear", "{command}");
    for (const char* line : {"ren", "atn"}) {
        addCommand(line, std::string("assert (on) or release (off) ") + line, "{command, value}")
            ->add_option("STATE", m_values.text, "on or off")
            ->required();
    }
    CLI::App* cmd =
        addCommand("cmd", "send command bytes with ATN asserted", "{command, bytes (hex), sent}");
    cmd->add_option("BYTES", m_values.words,
                    "mnemonics (UNL UNT MTA n MLA n MSA n SDC GET GTL LLO DCL SPE SPD TCT PPU "
                    "PPC) or numbers (63, 0x3F)")
        ->required();
    cmd->add_flag("--dry-run", m_values.dryRun, "print the bytes in hex, send nothing");
    CLI::App* loop = addCommand("loop", "repeat the exchange (a query is read) and measure it",
                                "{command, address, passes, errors, first_error, min_ms, "
                                "mean_ms, p50_ms, p95_ms, max_ms, passes_per_s}");
    addAddress(loop, true);
    auto* count =
        loop->add_option("--count", m_values.count, "this many passes")->check(CLI::PositiveNumber);
    loop->add_option("--duration", m_values.durationS, "for this many seconds")
        ->check(CLI::PositiveNumber)
        ->excludes(count);
    loop->add_option("--interval", m_values.intervalMs, "at least this many ms from pass to pass")
        ->check(CLI::NonNegativeNumber);
    loop->add_flag("--lock-each", m_values.lockEach, "lock and unlock around every pass");
    loop->add_flag("--stop-on-error", m_values.stopOnError, "end at the first failed pass");
    CLI::App* srq =
        addCommand("srq", "wait for SRQ, then name the requesters", "{command, address, stb}");
    srq->add_option("--wait", m_values.waitS,
                    "give up after this many seconds (default: the time-out; 0: never)")
        ->check(CLI::NonNegativeNumber);
    srq->add_flag("--secondary", m_values.secondary, "also poll secondary addresses");
    srq->add_flag("--intr", m_values.intr,
                  "wait on the gateway's interrupt channel instead of polling the SRQ line");
    CLI::App* discover =
        addCommand("discover", "find VXI-11 gateways and instruments among the targets",
                   "{command, host, portmapper_port, core_port, idn}");
    discover
        ->add_option("TARGET", m_values.words,
                     "HOST[:PORT], ADDRESS[:PORT] or ADDRESS/N with N 22-32; nothing else is "
                     "asked")
        ->required();
    discover->add_option("--port", m_values.port, "portmapper port of targets without one")
        ->check(CLI::Range(1, 65535))
        ->default_str("111");

    if (shell) {
        addCommand("use", "set the current address", "")
            ->add_option("ADDR", m_values.addr, "instrument address")
            ->required();
        addCommand("q", "query the current address: q TEXT", "as query");
        addCommand("w", "write to the current address: w TEXT", "as write");
        addReadOptions(addCommand("r", "read from the current address", "as read"));
        addCommand("help", "list the commands, or tell about one", "")
            ->add_option("COMMAND", m_values.text);
        addCommand("exit", "leave the shell (also quit, Ctrl-D)", "");
        addCommand("quit", "leave the shell", "");
    }
}

CLI::App* CommandSet::addCommand(const std::string& name, const std::string& description,
                                 const std::string& jsonFields) {
    CLI::App* command = m_app.add_subcommand(name, description);
    if (!jsonFields.empty()) {
        command->footer("With --json: " + jsonFields);
    }
    return command;
}

void CommandSet::addAddress(CLI::App* command, bool withText) {
    CLI::Option* addr =
        command->add_option("ADDR", m_values.addr, "instrument address")->type_name("");
    CLI::Option* text =
        withText ? command->add_option("TEXT", m_values.text, "the text to write")->type_name("")
                 : nullptr;
    // In the shell ADDR may be left out after `use`.
    if (!m_shell) {
        addr->required();
        if (text != nullptr) {
            text->required();
        }
    }
}

void CommandSet::addReadOptions(CLI::App* command) {
    command->add_option("--max", m_values.max, "read at most N bytes")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{1}, std::size_t{0x7FFFFFFF}));
    command->add_flag("--raw", m_values.raw, "keep the terminators: print the bytes as they came");
    command->add_flag("--block", m_values.block, "unwrap an IEEE 488.2 block (#...)");
    command->add_option("--out", m_values.out, "write the bytes to FILE exactly as received")
        ->type_name("FILE");
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
    m_app.clear();
    std::reverse(words.begin(), words.end());
    m_app.parse(words);
}

CLI::App* CommandSet::command() const {
    const auto parsed = m_app.get_subcommands();
    return parsed.empty() ? nullptr : parsed.front();
}

DeviceAddress CommandSet::device(CLI::App* command, bool withText,
                                 const std::optional<DeviceAddress>& current) {
    const bool addrGiven = command->get_option("ADDR")->count() > 0;
    const bool textGiven = withText && command->get_option("TEXT")->count() > 0;
    if (withText && !textGiven && addrGiven && current) {
        // One word after `use`: it is the text.
        m_values.text = m_values.addr;
        return *current;
    }
    if (addrGiven && (!withText || textGiven)) {
        return parseDeviceAddress(m_values.addr);
    }
    if (!addrGiven && !withText && current) {
        return *current;
    }
    throw UsageError(command->get_name() + " needs " + (withText ? "ADDR TEXT" : "ADDR") +
                     (m_shell ? " (or `use ADDR` first)" : ""));
}

ReadOptions CommandSet::readOptions(CLI::App* command) const {
    ReadOptions options;
    if (command->get_option("--max")->count() > 0) {
        options.max = m_values.max;
    }
    options.raw = m_values.raw;
    options.block = m_values.block;
    if (command->get_option("--out")->count() > 0) {
        options.out = m_values.out;
    }
    return options;
}

int runGuarded(const std::string& name, Output& out, bool showUsage,
               const std::function<int()>& body) {
    try {
        return body();
    } catch (const UsageError& e) {
        out.err() << "siclquill-cli: " << (name.empty() ? "" : name + ": ") << e.what() << '\n';
        if (showUsage) {
            out.err() << kUsageLine << '\n';
        }
        return kBadUsage;
    } catch (const sicl::SiclError& e) {
        out.libraryError(name, e.number(), e.description());
        return kFailed;
    } catch (const Failure& e) {
        out.failure(name, e.what());
        return kFailed;
    }
}

int CommandSet::run(Runner& runner, Output& out, std::optional<DeviceAddress>& current) {
    CLI::App* command = this->command();
    return runGuarded(command != nullptr ? command->get_name() : "", out, !m_shell,
                      [&] { return dispatch(command, runner, out, current); });
}

int CommandSet::dispatch(CLI::App* command, Runner& runner, Output& out,
                         std::optional<DeviceAddress>& current) {
    if (command == nullptr) {
        return kOk;
    }
    const std::string name = command->get_name();
    const CommandValues& v = m_values;
    if (name == "find") {
        runner.find(v.secondary);
    } else if (name == "census") {
        runner.census(v.secondary);
    } else if (name == "query") {
        const DeviceAddress d = device(command, true, current);
        runner.query(d, v.text, readOptions(command));
    } else if (name == "write") {
        const DeviceAddress d = device(command, true, current);
        runner.write(d, v.text);
    } else if (name == "read" || name == "r") {
        if (name == "r" && !current) {
            throw UsageError("r reads from the current address: `use ADDR` first");
        }
        runner.read(name == "r" ? *current : device(command, false, current), readOptions(command));
    } else if (isDeviceOperation(name)) {
        const DeviceAddress d = device(command, false, current);
        if (name == "spoll") {
            runner.spoll(d);
        } else if (name == "clear") {
            runner.clear(d);
        } else if (name == "trigger") {
            runner.trigger(d);
        } else if (name == "local") {
            runner.local(d);
        } else if (name == "remote") {
            runner.remote(d);
        } else if (name == "lock") {
            runner.lock(d);
        } else {
            runner.unlock(d);
        }
    } else if (name == "status") {
        runner.status();
    } else if (name == "ifc") {
        runner.ifc();
    } else if (name == "ren") {
        runner.ren(onOff(v.text));
    } else if (name == "atn") {
        runner.atn(onOff(v.text));
    } else if (name == "cmd") {
        runner.cmd(parseBusBytes(v.words), v.dryRun);
    } else if (name == "loop") {
        const DeviceAddress d = device(command, true, current);
        LoopOptions options;
        if (command->get_option("--count")->count() > 0) {
            options.count = v.count;
        }
        if (command->get_option("--duration")->count() > 0) {
            options.durationS = v.durationS;
        }
        options.intervalMs = v.intervalMs;
        options.lockEach = v.lockEach;
        options.stopOnError = v.stopOnError;
        options.progress = !out.json() && ::isatty(STDERR_FILENO) == 1;
        return runner.loop(d, v.text, options) ? kOk : kFailed;
    } else if (name == "srq") {
        const milliseconds wait = command->get_option("--wait")->count() > 0
                                      ? secondsToMs(v.waitS)
                                      : milliseconds(runner.settings().timeoutMs);
        runner.srq(wait, v.secondary, v.intr);
    } else if (name == "discover") {
        const milliseconds perHost = runner.settings().timeoutGiven
                                         ? milliseconds(runner.settings().timeoutMs)
                                         : milliseconds(1000);
        const auto targets =
            expandTargets(v.words, static_cast<std::uint16_t>(v.port), milliseconds(5000));
        discover(targets, perHost.count() > 0 ? perHost : milliseconds(1000), runner.library(),
                 out);
    } else if (name == "use") {
        current = parseDeviceAddress(v.addr);
        out.result(Json{{"command", "use"}, {"address", current->typed}},
                   "using " + current->typed);
    } else if (name == "help") {
        if (!v.text.empty()) {
            CLI::App* about = nullptr;
            try {
                about = m_app.get_subcommand(v.text);
            } catch (const CLI::OptionNotFound&) {
                throw UsageError("no command " + v.text);
            }
            out.out() << about->help();
        } else {
            // App::help() would describe the command just parsed, which is `help` itself.
            out.out() << m_app.get_formatter()->make_help(&m_app, "", CLI::AppFormatMode::Normal);
        }
    }
    return kOk;
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
