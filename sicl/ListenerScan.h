#pragma once

#include "sicl/Sicl32Module.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sicl {

/// A device that accepted its listen address.
struct Listener {
    int pad = 0;
    std::optional<int> sad;
    bool operator==(const Listener&) const = default;
};

/// How a scan runs.
struct ListenerScanOptions {
    /// Also probe the 31 secondary addresses (MSA) of each primary at which nothing listened
    /// alone. A device with primary addressing only stays a listener through any MSA, so the
    /// primaries found alone are not probed again.
    bool secondary = false;
    /// Called with the command bytes of every probe before they are sent.
    std::function<void(const std::string& bytes)> onProbe;
};

/// Finds the listeners on the bus of interface session `intf`: for each primary address 0-30
/// except `ownAddress`, it sends UNL, MTA(own), MLA(a) [, MSA(s)], releases ATN, reads NDAC
/// (a listener holds it), and sends UNL again. Listeners come back in ascending order.
/// Library failures raise SiclError and end the scan where it stands (no UNL is sent then);
/// an own address that no talk-address byte can carry raises std::out_of_range.
std::vector<Listener> scanListeners(Sicl32Module& sicl, SessionId intf, int ownAddress,
                                    const ListenerScanOptions& options = {});

} // namespace sicl
