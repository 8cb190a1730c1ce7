// The shell's own commands: use, q, w, r, timeout, term, sleep, source, help, exit and quit.
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/CtrlC.h"
#include "cli/Errors.h"

#include <sstream>

namespace cli {

namespace {

const DeviceAddress& current(Context& c) {
    if (!c.shell->current) {
        throw UsageError("works on the current address: `use ADDR` first");
    }
    c.address = c.shell->current->typed;
    return *c.shell->current;
}

/// TEXT of q and w: the rest of the line, which must hold something.
const std::string& lineText(Context& c) {
    if (!c.values.text || c.values.text->empty()) {
        throw UsageError("needs TEXT (the rest of the line)");
    }
    return *c.values.text;
}

std::string secondsText(std::int32_t ms) {
    if (ms == 0) {
        return "none";
    }
    std::ostringstream s;
    s << static_cast<double>(ms) / 1000.0 << " s";
    return s.str();
}

} // namespace

int runUse(Context& c) {
    c.shell->current = parseDeviceAddress(*c.values.addr);
    const std::string& typed = c.shell->current->typed;
    c.out.result(Json{{"command", "use"}, {"address", typed}}, "using " + typed);
    return kOk;
}

int runQ(Context& c) {
    const DeviceAddress& device = current(c);
    return queryOn(c, device, lineText(c));
}

int runW(Context& c) {
    const DeviceAddress& device = current(c);
    return writeOn(c, device, lineText(c));
}

int runR(Context& c) {
    return readOn(c, current(c));
}

int runTimeout(Context& c) {
    if (c.values.text) {
        c.runner.setTimeout(secondsToMs(std::stod(*c.values.text)));
    }
    const std::int32_t ms = c.runner.settings().timeoutMs;
    c.out.result(Json{{"command", "timeout"}, {"seconds", static_cast<double>(ms) / 1000.0}},
                 "time-out " + secondsText(ms));
    return kOk;
}

int runTerm(Context& c) {
    if (c.values.text) {
        const std::string& t = *c.values.text;
        c.runner.setTerminators(t == "cr" || t == "crlf", t == "lf" || t == "crlf");
    }
    const Settings& s = c.runner.settings();
    const std::string name = s.cr ? (s.lf ? "crlf" : "cr") : (s.lf ? "lf" : "none");
    c.out.result(Json{{"command", "term"}, {"terminators", name}}, "terminators " + name);
    return kOk;
}

int runSleep(Context& c) {
    const auto ms = std::chrono::duration<double, std::milli>(std::stod(*c.values.text));
    const Interruptible interruptible;
    if (!sleepUntil(std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(ms))) {
        throw Failure("interrupted");
    }
    return kOk;
}

int runSource(Context& c) {
    return c.shell->source(*c.values.text);
}

int runHelp(Context& c) {
    c.out.bytes(c.shell->helpText(c.values.text.value_or("")));
    return kOk;
}

int runExit(Context& c) {
    c.shell->leave = true;
    return kOk;
}

} // namespace cli
