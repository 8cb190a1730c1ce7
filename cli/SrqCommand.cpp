// srq: wait for a service request, then name who asked.
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/CtrlC.h"
#include "cli/Errors.h"
#include "library/LibraryError.h"
#include "sicl/ListenerScan.h"

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

int printDevice(Context& c, const DeviceAddress& device, std::int16_t stb) {
    const int value = stb & 0xFF;
    c.out.result(Json{{"command", "srq"}, {"address", device.typed}, {"stb", value}},
                 device.typed + "\t" + statusByteText(value));
    return kOk;
}

/// Waits on the device's session for its service request; false when `wait` passed first.
bool heard(Runner& r, SessionId id, milliseconds wait) {
    try {
        r.sicl().iwaitsrq(id, static_cast<std::int32_t>(wait.count()));
        return true;
    } catch (const SiclError& e) {
        if (e.number() == library::liberr::kIoTimeout && !interrupted()) {
            return false;
        }
        if (interrupted()) {
            gaveUp(wait);
        }
        throw;
    }
}

/// srq ADDR: the service request of one device, heard on its own session (a HiSLIP server's
/// AsyncServiceRequest, a VXI-11 link's interrupt channel), then its status byte.
int waitForDevice(Context& c, milliseconds wait) {
    if (c.values.secondary || c.values.intr) {
        throw UsageError("--secondary and --intr belong to srq on the bus (without ADDR)");
    }
    Runner& r = c.runner;
    const DeviceAddress device = parseDeviceAddress(*c.values.addr);
    c.address = device.typed;
    const SessionId id = r.device(device);
    std::int16_t stb = 0;
    // The shortest wait first: a session that cannot wait says so before anything is sent.
    // A request made before the session opened is never delivered to it; the status byte
    // tells of one.
    if (!heard(r, id, milliseconds(1))) {
        r.sicl().ireadstb(id, stb);
        if ((stb & sicl::kStatusRqs) != 0) {
            return printDevice(c, device, stb);
        }
        if (!heard(r, id, wait)) {
            gaveUp(wait);
        }
    }
    r.sicl().ireadstb(id, stb);
    return printDevice(c, device, stb);
}

} // namespace

int runSrq(Context& c) {
    Runner& r = c.runner;
    const milliseconds wait(c.values.waitS ? secondsToMs(*c.values.waitS) : r.settings().timeoutMs);
    const Interruptible interruptible;
    if (c.values.addr) {
        return waitForDevice(c, wait);
    }
    // A refused channel is known within a call or two: the wait starts again as polling.
    if (!c.values.intr || !waitForSrqByInterrupt(r, wait)) {
        waitForSrqByPolling(r, wait);
    }
    bool anyone = false;
    for (const sicl::Listener& l : scanBus(c)) {
        const DeviceAddress device = gpibAddress(l.pad, l.sad);
        std::int16_t stb = 0;
        r.sicl().ireadstb(r.device(device), stb);
        if ((stb & sicl::kStatusRqs) == 0) {
            continue;
        }
        anyone = true;
        printDevice(c, device, stb);
    }
    if (!anyone) {
        throw Failure("SRQ is asserted, but no listener requests service");
    }
    return kOk;
}

} // namespace cli
