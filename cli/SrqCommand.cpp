// srq: wait for a service request, then name who asked.
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/CtrlC.h"
#include "cli/Errors.h"
#include "library/LibraryError.h"
#include "sicl/ListenerScan.h"

#include <cstdio>
#include <sstream>

namespace cli {

namespace {

using namespace std::chrono;
using sicl::SessionId;
using sicl::SiclError;

/// How often srq looks at the SRQ line.
constexpr milliseconds kSrqPollInterval{20};

/// Errors with which a gateway says it has no interrupt channel to offer.
bool refusesInterruptChannel(int number) {
    return number == library::liberr::kNotSupported ||
           number == library::liberr::kChannelNotEstablished ||
           number == library::liberr::kCallRefused;
}

std::string seconds(milliseconds wait) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(3);
    s << duration<double>(wait).count();
    return s.str();
}

[[noreturn]] void gaveUp(milliseconds wait) {
    if (interrupted()) {
        throw Failure("interrupted while waiting for SRQ");
    }
    throw Failure("no SRQ within " + seconds(wait) + " s");
}

void waitForSrqByPolling(Runner& r, milliseconds wait) {
    const SessionId intf = r.interface();
    const auto until =
        wait.count() > 0 ? steady_clock::now() + wait : steady_clock::time_point::max();
    for (;;) {
        std::int16_t srq = 0;
        r.sicl().igpibbusstatus(intf, sicl::busstatus::kSrq, srq);
        if (srq != 0) {
            return;
        }
        if (interrupted() || steady_clock::now() >= until) {
            gaveUp(wait);
        }
        sleepUntil(std::min(until, steady_clock::now() + kSrqPollInterval));
    }
}

/// False, with a note on the error stream, when the gateway offers no interrupt channel.
bool waitForSrqByInterrupt(Runner& r, milliseconds wait) {
    try {
        // The library's wait listens on the gateway's interrupt channel, and hears a line that
        // is already up at once.
        r.sicl().iwaitsrq(r.interface(), static_cast<std::int32_t>(wait.count()));
        return true;
    } catch (const SiclError& e) {
        if (refusesInterruptChannel(e.number())) {
            // Not every gateway has an interrupt channel; the SRQ line tells the same.
            r.out().err() << "srq: the gateway offers no interrupt channel (error " << e.number()
                          << ": " << e.description() << "); polling the SRQ line instead\n";
            return false;
        }
        if (e.number() == library::liberr::kIoTimeout || interrupted()) {
            gaveUp(wait);
        }
        throw;
    }
}

} // namespace

int runSrq(Context& c) {
    Runner& r = c.runner;
    const milliseconds wait(c.values.waitS ? secondsToMs(*c.values.waitS) : r.settings().timeoutMs);
    const Interruptible interruptible;
    // A refused channel is known within a call or two: the wait starts again as polling.
    if (!c.values.intr || !waitForSrqByInterrupt(r, wait)) {
        waitForSrqByPolling(r, wait);
    }
    const SessionId intf = r.interface();
    std::int16_t own = 0;
    r.sicl().igpibbusstatus(intf, sicl::busstatus::kBusAddress, own);
    sicl::ListenerScanOptions options;
    options.secondary = c.values.secondary;
    std::vector<sicl::Listener> found;
    try {
        found = sicl::scanListeners(r.sicl(), intf, own, options);
    } catch (const std::out_of_range& e) {
        throw Failure(e.what());
    }
    bool anyone = false;
    for (const sicl::Listener& l : found) {
        const DeviceAddress device = gpibAddress(l.pad, l.sad);
        std::int16_t stb = 0;
        r.sicl().ireadstb(r.device(device), stb);
        if ((stb & sicl::kStatusRqs) == 0) {
            continue;
        }
        anyone = true;
        const int value = stb & 0xFF;
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", value);
        c.out.result(Json{{"command", "srq"}, {"address", device.typed}, {"stb", value}},
                     device.typed + "\tstatus byte " + std::to_string(value) + " (" + hex + ")");
    }
    if (!anyone) {
        throw Failure("SRQ is asserted, but no listener requests service");
    }
    return kOk;
}

} // namespace cli
