#include "cli/Arguments.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <functional>
#include <stdexcept>

namespace cli {

namespace {

/// What a number must be.
struct NumberRule {
    double min;
    bool minOpen; ///< min itself is not allowed
    double max;
    bool whole;
    const char* words; ///< "a whole number, at least 1"
};

bool numberOk(const std::string& text, const NumberRule& rule) {
    const char* end = text.data() + text.size();
    double value = 0;
    if (rule.whole) {
        std::uint64_t whole = 0;
        const auto [at, ec] = std::from_chars(text.data(), end, whole);
        if (text.empty() || ec != std::errc() || at != end) {
            return false;
        }
        value = static_cast<double>(whole);
    } else {
        const auto [at, ec] = std::from_chars(text.data(), end, value);
        // from_chars takes "nan" and "inf"; neither is a time.
        if (text.empty() || ec != std::errc() || at != end || !std::isfinite(value)) {
            return false;
        }
    }
    return (rule.minOpen ? value > rule.min : value >= rule.min) && value <= rule.max;
}

CLI::Validator check(NumberRule rule) {
    return CLI::Validator(
        [rule](std::string& text) {
            return numberOk(text, rule) ? std::string() : std::string("must be ") + rule.words;
        },
        "", "");
}

constexpr NumberRule kSeconds{0, false, 2000000, false,
                              "a number of seconds from 0 to 2000000 (0: no time-out)"};
constexpr NumberRule kMilliseconds{0, false, 1e9, false, "a number of milliseconds, 0 or more"};
constexpr NumberRule kCount{1, false, 1.8e19, true, "a whole number, at least 1"};
constexpr NumberRule kDuration{0, true, 1e9, false, "a number of seconds greater than 0"};
constexpr NumberRule kWait{0, false, 2000000, false,
                           "a number of seconds from 0 to 2000000 (0: for ever)"};
constexpr NumberRule kMax{1, false, 2147483647, true,
                          "a whole number of bytes from 1 to 2147483647"};
constexpr NumberRule kServicePort{0, false, 65535, true,
                                  "a port number from 1 to 65535, or 0 (not tried)"};

using Adder = CLI::Option* (*)(CLI::App&, CommandValues&);

struct Argument {
    std::string_view name;
    Adder add;
};

// clang-format off
const std::array kArguments{
    Argument{"ADDR", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("ADDR", v.addr, "instrument address: 22, 502, 5,2, a device name such "
                                     "as inst0, or a VISA resource such as "
                                     "TCPIP::HOST::hislip0::INSTR or TCPIP::HOST::5025::SOCKET")
            ->type_name(""); }},
    Argument{"TEXT", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("TEXT", v.text, "the text to write")->type_name(""); }},
    Argument{"LINE", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("TEXT", v.text, "the rest of the line, as it is (no quotes needed)")
            ->type_name(""); }},
    Argument{"STATE", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("STATE", v.text, "on or off"); }},
    Argument{"BYTES", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("BYTES", v.words, "mnemonics (UNL UNT MTA n MLA n MSA n SDC GET GTL LLO "
                                       "DCL SPE SPD TCT PPU PPC) or numbers (63, 0x3F)"); }},
    Argument{"TARGET", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("TARGET", v.words, "HOST[:PORT], ADDRESS[:PORT] or ADDRESS/N with N "
                                        "22-32; nothing else is asked"); }},
    Argument{"COMMAND", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("COMMAND", v.text, "a command"); }},
    Argument{"SECONDS", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("SECONDS", v.text, "the time-out")->check(check(kSeconds)); }},
    Argument{"TERMINATORS", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("TERMINATORS", v.text, "lf, cr, crlf or none")
            ->check(CLI::IsMember({"lf", "cr", "crlf", "none"})); }},
    Argument{"MS", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("MS", v.text, "milliseconds")->check(check(kMilliseconds)); }},
    Argument{"FILE", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("FILE", v.text, "a file of shell lines"); }},
    Argument{"--max", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--max", v.max, "read at most N bytes; a longer answer is an error (default "
                                     "1 MiB, 1 GiB with --block)")
            ->type_name("N")->check(check(kMax)); }},
    Argument{"--raw", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--raw", v.raw, "keep the terminators: print the bytes as they came"); }},
    Argument{"--block", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--block", v.block, "unwrap an IEEE 488.2 block (#...)"); }},
    Argument{"--out", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--out", v.out, "write the bytes to FILE exactly as received (- : standard "
                                     "output)")->type_name("FILE"); }},
    Argument{"--until", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--until", v.until, "end the read at this character too (x, \\n, \\r, \\t "
                                         "or 0xHH)")->type_name("CHAR"); }},
    Argument{"--hex", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--hex", v.hex, "print the answer as a hex dump"); }},
    Argument{"--file", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--file", v.file, "send the bytes of FILE after TEXT")->type_name("FILE"); }},
    Argument{"--wrap-block", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--block", v.wrapBlock, "send the file as an IEEE 488.2 definite-length "
                                           "block (#NLEN...)"); }},
    Argument{"--secondary", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--secondary", v.secondary, "also the secondary addresses (MSA) of each "
                                               "primary"); }},
    Argument{"--dry-run", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--dry-run", v.dryRun, "print the bytes in hex, send nothing"); }},
    Argument{"--count", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--count", v.count, "this many passes")->check(check(kCount)); }},
    Argument{"--duration", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--duration", v.durationS, "for this many seconds")
            ->check(check(kDuration))->excludes("--count"); }},
    Argument{"--interval", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--interval", v.intervalMs, "at least this many ms from pass to pass")
            ->check(check(kMilliseconds)); }},
    Argument{"--lock-each", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--lock-each", v.lockEach, "lock and unlock around every pass"); }},
    Argument{"--stop-on-error", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--stop-on-error", v.stopOnError, "end at the first failed pass"); }},
    Argument{"--wait", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--wait", v.waitS, "give up after this many seconds (default: the "
                                        "time-out; 0: never)")->check(check(kWait)); }},
    Argument{"--intr", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_flag("--intr", v.intr, "wait on the gateway's interrupt channel instead of "
                                     "polling the SRQ line"); }},
    Argument{"--shared", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--shared", v.sharedKey, "a shared lock under NAME: sessions with the "
                                              "same NAME share the device (HiSLIP)")
            ->type_name("NAME"); }},
    Argument{"--port", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--port", v.port, "portmapper port of targets without one (0: VXI-11 "
                                       "not tried)")
            ->check(check(kServicePort))->default_str("111"); }},
    Argument{"--hislip-port", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--hislip-port", v.hislipPort, "HiSLIP port to try on each target (0: "
                                                    "none)")
            ->check(check(kServicePort))->default_str("4880"); }},
    Argument{"--socket-port", [](CLI::App& c, CommandValues& v) -> CLI::Option* {
        return c.add_option("--socket-port", v.socketPort, "raw SCPI socket port to try on each "
                                                    "target (0: none)")
            ->check(check(kServicePort))->default_str("5025"); }},
};
// clang-format on

const Argument* find(std::string_view name) {
    const auto it = std::find_if(kArguments.begin(), kArguments.end(),
                                 [&](const Argument& a) { return a.name == name; });
    return it == kArguments.end() ? nullptr : &*it;
}

} // namespace

bool hasArgument(std::string_view name) {
    return find(name) != nullptr;
}

void addArgument(CLI::App& command, std::string_view name, CommandValues& values, bool required) {
    const Argument* argument = find(name);
    if (argument == nullptr) {
        throw std::logic_error("no argument " + std::string(name) + " in the catalogue");
    }
    CLI::Option* option = argument->add(command, values);
    if (required && name.front() != '-') {
        option->required();
    }
}

CLI::Validator secondsCheck() {
    return check(kSeconds);
}

CLI::Validator millisecondsCheck() {
    return check(kMilliseconds);
}

} // namespace cli
