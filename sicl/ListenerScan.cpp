#include "sicl/ListenerScan.h"

#include "sicl/GpibBus.h"

#include <stdexcept>

namespace sicl {

namespace {

/// Addresses one listener, lets go of ATN and tells whether something holds NDAC.
bool probe(Sicl32Module& sicl, SessionId intf, const std::string& bytes,
           const ListenerScanOptions& options) {
    if (options.onProbe) {
        options.onProbe(bytes);
    }
    sicl.igpibsendcmd(intf, bytes, static_cast<std::int32_t>(bytes.size()));
    sicl.igpibatnctl(intf, 0);
    std::int16_t ndac = 0;
    sicl.igpibbusstatus(intf, busstatus::kNdac, ndac);
    const std::string unlisten(1, static_cast<char>(gpib::kUnl));
    if (options.onProbe) {
        options.onProbe(unlisten);
    }
    sicl.igpibsendcmd(intf, unlisten, 1);
    return ndac != 0;
}

} // namespace

std::vector<Listener> scanListeners(Sicl32Module& sicl, SessionId intf, int ownAddress,
                                    const ListenerScanOptions& options) {
    const int talk = gpib::kTalkBase + ownAddress;
    if (talk < 0 || talk > 0xFF) {
        // No command byte carries this talk address; a wrapped byte would address some other
        // device.
        throw std::out_of_range("interface bus address " + std::to_string(ownAddress) +
                                " is out of range");
    }
    std::vector<Listener> found;
    for (int a = 0; a <= gpib::kMaxAddress; ++a) {
        if (a == ownAddress) {
            continue;
        }
        const std::string address{static_cast<char>(gpib::kUnl), static_cast<char>(talk),
                                  static_cast<char>(gpib::kListenBase + a)};
        if (probe(sicl, intf, address, options)) {
            found.push_back({a, std::nullopt});
            continue;
        }
        if (!options.secondary) {
            continue;
        }
        for (int s = 0; s <= gpib::kMaxAddress; ++s) {
            if (probe(sicl, intf, address + static_cast<char>(gpib::kSecondaryBase + s), options)) {
                found.push_back({a, s});
            }
        }
    }
    return found;
}

} // namespace sicl
