// The commands on the gateway's interface and the bus: find, census, status, ifc, ren, atn
// and cmd.
#include "cli/BusBytes.h"
#include "cli/Commands.h"
#include "cli/Errors.h"
#include "library/LibraryError.h"
#include "sicl/ListenerScan.h"

namespace cli {

namespace {

using sicl::SessionId;
using sicl::SiclError;

/// Most bytes of an *IDN? answer that census takes.
constexpr std::size_t kIdnMax = 4096;

bool onOff(const std::string& word) {
    if (word == "on" || word == "1") {
        return true;
    }
    if (word == "off" || word == "0") {
        return false;
    }
    throw UsageError("expected on or off, not '" + word + "'");
}

} // namespace

std::vector<sicl::Listener> scanBus(Context& c) {
    Runner& r = c.runner;
    const SessionId intf = r.interface();
    std::int16_t own = 0;
    r.sicl().igpibbusstatus(intf, sicl::busstatus::kBusAddress, own);
    sicl::ListenerScanOptions options;
    options.secondary = c.values.secondary;
    try {
        return sicl::scanListeners(r.sicl(), intf, own, options);
    } catch (const std::out_of_range& e) {
        throw Failure(e.what());
    }
}

namespace {

/// The listeners on the bus; the shell keeps their addresses for Tab.
std::vector<DeviceAddress> listeners(Context& c) {
    std::vector<DeviceAddress> found;
    for (const sicl::Listener& l : scanBus(c)) {
        found.push_back(gpibAddress(l.pad, l.sad));
    }
    if (c.shell != nullptr) {
        c.shell->known.clear();
        for (const DeviceAddress& d : found) {
            c.shell->known.push_back(d.typed);
        }
    }
    return found;
}

/// *IDN? of one listener; a failure comes back as the library's error.
std::string identity(Runner& r, const DeviceAddress& device, std::string& answer) {
    const SessionId id = r.device(device);
    try {
        r.send(id, r.message("*IDN?"));
        r.read(id, kIdnMax, std::nullopt, answer);
    } catch (const SiclError& e) {
        // An instrument that ignores *IDN? keeps it in its input and may hold the bus as
        // a talker; a device clear leaves it ready for the next one.
        if (e.number() != library::liberr::kConnectionLost) {
            try {
                r.sicl().iclear(id);
            } catch (const SiclError&) {
            }
        }
        throw;
    }
    return firstLine(answer);
}

int interfaceDone(Context& c, Json object, const std::string& text) {
    c.out.result(object, text);
    return kOk;
}

} // namespace

int runFind(Context& c) {
    const auto found = listeners(c);
    for (const DeviceAddress& d : found) {
        Json object{{"command", "find"}, {"address", d.typed}, {"pad", *d.pad}};
        if (d.sad) {
            object["sad"] = *d.sad;
        }
        c.out.result(object, d.typed);
    }
    if (found.empty() && !c.out.json()) {
        c.out.result({}, "no listeners found");
    }
    return kOk;
}

int runCensus(Context& c) {
    const auto found = listeners(c);
    std::string answer;
    for (const DeviceAddress& d : found) {
        Json object{{"command", "census"}, {"address", d.typed}};
        std::string text;
        try {
            const std::string idn = identity(c.runner, d, answer);
            object["idn"] = jsonText(idn);
            text = idn;
        } catch (const SiclError& e) {
            if (e.number() == library::liberr::kConnectionLost) {
                throw; // every row after it would fail the same way
            }
            // The reason tells a lock held elsewhere from an instrument that stays silent.
            object["idn"] = nullptr;
            object["error"] = Json{{"number", e.number()}, {"text", jsonText(e.description())}};
            text = "no answer: error " + std::to_string(e.number()) + ": " + e.description();
        }
        c.out.result(object, d.typed + "\t" + text);
    }
    if (found.empty() && !c.out.json()) {
        c.out.result({}, "no listeners found");
    }
    return kOk;
}

int runStatus(Context& c) {
    Runner& r = c.runner;
    const SessionId intf = r.interface();
    struct Request {
        std::int16_t code;
        const char* key;
        const char* label;
    };
    static constexpr Request kRequests[] = {
        {sicl::busstatus::kRen, "REN", "REN"},
        {sicl::busstatus::kSrq, "SRQ", "SRQ"},
        {sicl::busstatus::kNdac, "NDAC", "NDAC"},
        {sicl::busstatus::kSystemController, "system_controller", "system controller"},
        {sicl::busstatus::kControllerInCharge, "controller_in_charge", "controller in charge"},
        {sicl::busstatus::kTalker, "talker", "talker"},
        {sicl::busstatus::kListener, "listener", "listener"},
        {sicl::busstatus::kBusAddress, "bus_address", "bus address"},
    };
    Json object{{"command", "status"}};
    std::string text;
    for (const Request& q : kRequests) {
        std::int16_t value = 0;
        try {
            r.sicl().igpibbusstatus(intf, q.code, value);
        } catch (const SiclError& e) {
            // The three lines are every gateway's, but a bus that cannot tell one (REN behind
            // a `++` adapter that has no such command) says so and the others are still shown;
            // the other requests are optional.
            if (q.code > sicl::busstatus::kNdac) {
                continue;
            }
            if (e.number() != library::liberr::kNotSupported) {
                throw;
            }
            object[q.key] = nullptr;
            text += (text.empty() ? "" : "\n") + std::string(q.label) + " = not supported";
            continue;
        }
        const int shown = q.code == sicl::busstatus::kBusAddress ? value : (value != 0 ? 1 : 0);
        object[q.key] = shown;
        text += (text.empty() ? "" : "\n") + std::string(q.label) + " = " + std::to_string(shown);
    }
    return interfaceDone(c, object, text);
}

int runIfc(Context& c) {
    c.runner.sicl().iclear(c.runner.interface());
    return interfaceDone(c, Json{{"command", "ifc"}}, "IFC sent");
}

int runRen(Context& c) {
    const bool on = onOff(*c.values.text);
    c.runner.sicl().igpibrenctl(c.runner.interface(), on ? 1 : 0);
    return interfaceDone(c, Json{{"command", "ren"}, {"value", on ? 1 : 0}},
                         on ? "REN asserted" : "REN released");
}

int runAtn(Context& c) {
    const bool on = onOff(*c.values.text);
    c.runner.sicl().igpibatnctl(c.runner.interface(), on ? 1 : 0);
    return interfaceDone(c, Json{{"command", "atn"}, {"value", on ? 1 : 0}},
                         on ? "ATN asserted" : "ATN released");
}

int runCmd(Context& c) {
    const std::string bytes = parseBusBytes(c.values.words);
    const std::string hex = hexText(bytes);
    const bool dryRun = c.values.dryRun;
    if (!dryRun) {
        c.runner.sicl().igpibsendcmd(c.runner.interface(), bytes,
                                     static_cast<std::int32_t>(bytes.size()));
    }
    return interfaceDone(c, Json{{"command", "cmd"}, {"bytes", hex}, {"sent", !dryRun}},
                         dryRun ? hex : "sent " + hex);
}

} // namespace cli
