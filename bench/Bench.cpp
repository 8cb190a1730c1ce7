#include "bench/Bench.h"

#include "bench/Floor.h"
#include "bench/Modes.h"
#include "bench/Query.h"

#include "lan/LanLibrary.h"
#include "net/TcpConnection.h"
#include "sicl/ForwardingLibrary.h"
#include "sicl/Sicl32Module.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

/// Counts the bus calls that pass through (those a discovery walk makes), for its figure.
class CountingLibrary final : public sicl::ForwardingLibrary {
public:
    using ForwardingLibrary::ForwardingLibrary;
    std::atomic<long> calls{0};

    std::int16_t vb_igpibbusstatus(sicl::SessionId id, std::int16_t r, std::int16_t& out) override {
        return ++calls, ForwardingLibrary::vb_igpibbusstatus(id, r, out);
    }
    std::int16_t vb_igpibatnctl(sicl::SessionId id, std::int16_t v) override {
        return ++calls, ForwardingLibrary::vb_igpibatnctl(id, v);
    }
    std::int16_t vb_igpibsendcmd(sicl::SessionId id, const std::string& c,
                                 std::int32_t n) override {
        return ++calls, ForwardingLibrary::vb_igpibsendcmd(id, c, n);
    }
};

std::size_t padded(std::size_t n) {
    return (n + 3) / 4 * 4;
}

/// One device_docmd of a discovery walk: three command bytes in, two bytes out at most.
std::vector<Exchange> docmdSizes() {
    return {{4 + 40 + 32 + 4 + padded(3), 4 + 24 + 8 + padded(2)}};
}

/// One discovery walk over addresses 0-30, call by call as the window makes it.
void discoveryWalk(sicl::Sicl32Module& wrappers, sicl::SessionId intf) {
    std::int16_t ctlr = 0;
    wrappers.igpibbusstatus(intf, 8, ctlr);
    for (int a = 0; a <= 30; ++a) {
        if (a == ctlr) {
            continue;
        }
        const std::string probe{'\x3F', static_cast<char>(0x40 + ctlr),
                                static_cast<char>(0x20 + a)};
        wrappers.igpibsendcmd(intf, probe, 3);
        wrappers.igpibatnctl(intf, 0);
        std::int16_t ndac = 0;
        wrappers.igpibbusstatus(intf, 3, ndac);
        wrappers.igpibsendcmd(intf, "?", 1);
    }
}

/// Discovery walks and the library calls each made.
struct Walks : Turns {
    long calls = 0;
};

/// Discovery walks over 31 addresses on an interface session at `address`, each followed by
/// its floor: as many bare round trips as the walk made calls (counted by `counting`).
Walks measureWalks(sicl::Sicl32Module& wrappers, const CountingLibrary& counting,
                   const std::string& address, int walks) {
    const auto intf = wrappers.iopen(address);
    Walks turns;
    for (int w = 0; w < walks; ++w) {
        const long before = counting.calls.load();
        const auto walkStart = Clock::now();
        discoveryWalk(wrappers, intf);
        const double walk = micros(Clock::now() - walkStart);
        turns.calls = counting.calls.load() - before;
        // A walk is a sum of round trips; its floor is as many times the median bare one,
        // which is below the bare round trips' own sum (their tail included).
        const Floor floor = measureFloor(docmdSizes(), static_cast<int>(turns.calls));
        turns.samples.push_back(walk);
        turns.add(floor, walk / (floor.best() * static_cast<double>(turns.calls)));
    }
    wrappers.iclose(intf);
    return turns;
}

} // namespace

int run(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.clients > 0) {
        return runLoad(options, out, err);
    }
    if (!options.resource.empty()) {
        return runResource(options, out, err);
    }
    if (!options.plusplus.empty()) {
        return runAdapter(options, out, err);
    }
    if (options.bulk > 0) {
        return runBulk(options, out, err);
    }
    lan::LanLibrary vxi;
    CountingLibrary counting(vxi);
    sicl::Sicl32Module wrappers(counting);
    const std::string server = "lan;vxi-11[" + options.server + "]";
    try {
        const Turns idn =
            measureQueries(wrappers, server + ":gpib, " + std::to_string(options.address),
                           std::max(1, options.count), library::Resource::Kind::Vxi11);
        const Walks walk =
            measureWalks(wrappers, counting, server + ":gpib", std::max(1, options.walks));
        const double idnFloor = median(idn.floors);
        const double docmdFloor = median(walk.floors);

        out << "roundtrip_floor_us " << idnFloor / 2 << '\n'
            << "idn_floor_us " << idnFloor << '\n'
            << "idn_exchange_us " << median(idn.samples) << '\n'
            << "idn_ratio " << median(idn.ratios) << '\n'
            << "docmd_roundtrip_us " << docmdFloor << '\n'
            << "discovery_walk_us " << median(walk.samples) << '\n'
            << "discovery_calls " << walk.calls << '\n'
            << "discovery_floor_us " << docmdFloor * static_cast<double>(walk.calls) << '\n'
            << "discovery_ratio " << median(walk.ratios) << '\n'
            << "idn_floor_same_cpu_us " << median(idn.same) << '\n'
            << "docmd_floor_same_cpu_us " << median(walk.same) << '\n';
        // Not measured when this process may use one CPU only.
        if (median(idn.cross) > 0) {
            out << "idn_floor_cross_cpu_us " << median(idn.cross) << '\n'
                << "docmd_floor_cross_cpu_us " << median(walk.cross) << '\n';
        }
        return 0;
    } catch (...) {
        return reportFailure(err);
    }
}

} // namespace bench
