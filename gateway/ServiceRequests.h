#pragma once
// The bench's service requests, routed by where they come from: the bus's SRQ line, which the
// links to the interface and to every device on the bus hear, and each instrument's own
// request (on the bus or a LAN instrument), which only the clients of that instrument hear
// (VXI-11 links to a LAN instrument, HiSLIP sessions of any instrument). Each protocol the
// simulator serves subscribes once and delivers a request to its own clients; every call that
// may raise a request ends with a look. An instrument counts the requests it raises, so a call
// that only lets one fall need not look: the next look still knows a request that rose again.

#include "gateway/GuardedBus.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace gateway {

class ServiceRequests {
public:
    /// Told the source of a request that rose: kInterfaceName (the bus's line), or one
    /// instrument's canonical device name (GuardedBus::srqRisen).
    using Listener = std::function<void(const std::string& source)>;

    explicit ServiceRequests(GuardedBus& bus) : m_bus(bus) {}

    /// Adds a protocol's listener. Only before serving starts: the list is not guarded.
    void subscribe(Listener listener) { m_listeners.push_back(std::move(listener)); }

    /// Tells every listener of each request that has risen since the last look.
    void look() {
        for (const std::string& source : m_bus.srqRisen()) {
            for (const Listener& listener : m_listeners) {
                listener(source);
            }
        }
    }

private:
    GuardedBus& m_bus;
    std::vector<Listener> m_listeners;
};

} // namespace gateway
