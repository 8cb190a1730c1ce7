#include "cli/CommandTable.h"

#include "cli/Commands.h"
#include "cli/Errors.h"

#include <algorithm>
#include <array>

namespace cli {

namespace {

constexpr std::string_view kReadOptions = "--max --raw --block --out --until --hex";
constexpr std::string_view kAnswerFields =
    "command, address, bytes, answer, block_bytes, file, hex, truncated";

// clang-format off
const std::array kCommands{
    Command{"find", "the listeners on the bus (UNL, MTA, MLA, then NDAC)", "--secondary",
            "command, address, pad, sad", false, runFind},
    Command{"census", "find, then *IDN? to each listener within the time-out", "--secondary",
            "command, address, idn (null: no answer), error", false, runCensus},
    Command{"query", "write TEXT, then read the answer",
            "ADDR TEXT --max --raw --block --out --until --hex", kAnswerFields, false, runQuery},
    Command{"write", "write TEXT (and a file's bytes) with the terminators and END",
            "ADDR [TEXT] --file --wrap-block", "command, address, bytes, file", false, runWrite},
    Command{"read", "read one answer", "ADDR --max --raw --block --out --until --hex",
            kAnswerFields, false, runRead},
    Command{"spoll", "serial poll: the status byte", "ADDR", "command, address, stb", false,
            runSpoll},
    Command{"clear", "device clear", "ADDR", "command, address", false, runClear},
    Command{"trigger", "device trigger", "ADDR", "command, address", false, runTrigger},
    Command{"local", "go to local (GTL on the bus; the device's own link for a device name or "
                     "a VISA resource)", "ADDR", "command, address", false, runLocal},
    Command{"remote", "assert REN and address the device, which goes to remote "
                      "(the device's own link for a device name or a VISA resource)",
            "ADDR", "command, address", false, runRemote},
    Command{"lock", "lock the device for this program (the shell keeps it until unlock); "
                    "--shared NAME takes a shared lock", "ADDR --shared",
            "command, address, shared", false, runLock},
    Command{"unlock", "release the lock", "ADDR", "command, address", false, runUnlock},
    Command{"status", "the bus lines and whatever else the gateway tells", "",
            "command, REN, SRQ, NDAC, system_controller, controller_in_charge, talker, "
            "listener, bus_address", false, runStatus},
    Command{"ifc", "interface clear", "", "command", false, runIfc},
    Command{"ren", "assert (on) or release (off) REN", "STATE", "command, value", false, runRen},
    Command{"atn", "assert (on) or release (off) ATN", "STATE", "command, value", false, runAtn},
    Command{"cmd", "send command bytes with ATN asserted", "BYTES --dry-run",
            "command, bytes (hex), sent", false, runCmd},
    Command{"loop", "repeat the exchange (a query is read) and measure it",
            "ADDR TEXT --count --duration --interval --lock-each --stop-on-error",
            "command, address, passes, errors, first_error, min_ms, mean_ms, p50_ms, p95_ms, "
            "max_ms, passes_per_s, outage_passes, outage_s", false, runLoop},
    Command{"srq", "wait for SRQ, then name the requesters; with ADDR, wait for that "
                   "device's service request", "[ADDR] --wait --secondary --intr",
            "command, address, stb", false, runSrq},
    Command{"discover", "find VXI-11, HiSLIP and raw socket instruments among the targets",
            "TARGET --port --hislip-port --socket-port",
            "command, host, portmapper_port, core_port, idn, hislip_port, hislip_idn, "
            "socket_port, socket_idn, error", false, runDiscover},
    Command{"use", "set the current address", "ADDR", "command, address", true, runUse},
    Command{"q", "query the current address: q TEXT (the rest of the line)", "LINE", "",
            true, runQ},
    Command{"w", "write to the current address: w TEXT (the rest of the line)", "LINE", "",
            true, runW},
    Command{"r", "read from the current address", kReadOptions, "", true, runR},
    Command{"timeout", "show or set the time-out of every call, in seconds (0: none)",
            "[SECONDS]", "command, seconds", true, runTimeout},
    Command{"term", "show or set the terminators of written text", "[TERMINATORS]",
            "command, terminators", true, runTerm},
    Command{"sleep", "pause for MS milliseconds (Ctrl-C ends it)", "MS", "", true, runSleep},
    Command{"source", "run the lines of FILE", "FILE", "", true, runSource},
    Command{"help", "list the commands, or tell about one", "[COMMAND]", "", true, runHelp},
    Command{"exit", "leave the shell (also quit, Ctrl-D)", "", "", true, runExit},
    Command{"quit", "leave the shell", "", "", true, runExit},
};
// clang-format on

/// The address in `word`, or nothing when it does not read as one.
std::optional<DeviceAddress> asAddress(const std::string& word) {
    try {
        return parseDeviceAddress(word);
    } catch (const UsageError&) {
        return std::nullopt;
    }
}

} // namespace

std::span<const Command> commandTable() {
    return kCommands;
}

const Command* findCommand(std::string_view name) {
    const auto it = std::find_if(kCommands.begin(), kCommands.end(),
                                 [&](const Command& c) { return c.name == name; });
    return it == kCommands.end() ? nullptr : &*it;
}

DeviceAddress Context::device(TextNeed text) {
    CommandValues& v = values;
    const std::string operands = text == TextNeed::Required ? "ADDR TEXT" : "ADDR";
    const std::optional<DeviceAddress> current = shell != nullptr ? shell->current : std::nullopt;
    std::optional<DeviceAddress> chosen;
    if (shell == nullptr && text == TextNeed::Required && !v.text) {
        throw UsageError("needs ADDR TEXT");
    }
    if (v.addr && (v.text || text == TextNeed::None || shell == nullptr)) {
        chosen = parseDeviceAddress(*v.addr);
    } else if (v.addr) {
        // One word where ADDR TEXT could stand.
        chosen = asAddress(*v.addr);
        if (chosen && text == TextNeed::Required) {
            throw UsageError("needs TEXT after ADDR " + *v.addr +
                             " (w TEXT and q TEXT work on the current address)");
        }
        if (!chosen && current) {
            v.text = std::move(v.addr);
            v.addr.reset();
            chosen = current;
        }
    } else if (current) {
        if (text == TextNeed::Required) {
            throw UsageError("needs TEXT");
        }
        chosen = current;
    }
    if (!chosen) {
        throw UsageError("needs " + operands + (shell != nullptr ? " (or `use ADDR` first)" : ""));
    }
    address = chosen->typed;
    return *chosen;
}

} // namespace cli
