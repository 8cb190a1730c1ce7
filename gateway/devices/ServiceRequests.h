#pragma once
// The bench's service requests, routed by where they come from: the bus's SRQ line, which the
// links to the interface and to every device on the bus hear, and each device's own request
// (on the bus or a LAN instrument), which only the clients of that device hear (VXI-11 links to
// a LAN instrument, HiSLIP sessions of any device). The bus tells where each request rose;
// each protocol subscribes once and delivers a request to its own clients, and says whether
// any of its clients wants requests at all (a bus that must poll for them polls only then).

#include "gateway/devices/DeviceBus.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace gateway {

class ServiceRequests {
public:
    /// Told the source of a request that rose: kInterfaceName (the bus's line), or one
    /// device's key.
    using Listener = DeviceBus::Listener;
    /// Whether a protocol has a client that wants service requests now.
    using Wanted = std::function<bool()>;

    explicit ServiceRequests(DeviceBus& bus) {
        bus.routeServiceRequests([this](const std::string& source) { route(source); },
                                 [this] { return wanted(); });
    }
    ServiceRequests(const ServiceRequests&) = delete;
    ServiceRequests& operator=(const ServiceRequests&) = delete;

    /// Adds a protocol. Only before serving starts: the list is not guarded.
    void subscribe(Listener listener, Wanted wanted) {
        m_protocols.push_back({std::move(listener), std::move(wanted)});
    }

    /// Tells every protocol of a request that rose at `source`.
    void route(const std::string& source) const {
        for (const Protocol& p : m_protocols) {
            p.listener(source);
        }
    }
    /// Whether any protocol has a client that wants requests.
    bool wanted() const {
        for (const Protocol& p : m_protocols) {
            if (p.wanted()) {
                return true;
            }
        }
        return false;
    }

private:
    struct Protocol {
        Listener listener;
        Wanted wanted;
    };
    std::vector<Protocol> m_protocols;
};

} // namespace gateway
