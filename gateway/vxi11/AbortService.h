#pragma once
// The side channels of a link: device_abort on the abort channel (DEVICE_ASYNC), and the
// interrupt channel on which the simulator calls the client back (device_intr_srq) when the
// SRQ line rises.

#include "gateway/devices/DeviceBus.h"
#include "gateway/serving/ServerConfig.h"
#include "gateway/vxi11/LinkTable.h"
#include "net/TcpConnection.h"
#include "vxi11/codec/AsyncIntrMessages.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace gateway {

/// device_abort: ends the call in progress on a link, wherever it waits.
class AbortService {
public:
    AbortService(LinkTable& links, DeviceBus& bus, const Log& log)
        : m_links(links), m_bus(bus), m_log(log) {}

    /// 0, or 4 for an unknown link. A link with no call in progress is left as it is.
    std::int32_t abort(std::int32_t lid);

private:
    LinkTable& m_links;
    DeviceBus& m_bus;
    const Log& m_log;
};

/// The interrupt channels, one per core connection at most.
class InterruptChannels {
public:
    /// `served` false: every create_intr_chan is refused with 8.
    InterruptChannels(const Log& log, bool served) : m_log(log), m_served(served) {}

    /// True when create_intr_chan from a client at `caller` may be connected back to `remote`:
    /// only to the client's own address (an IPv4 client names it, an IPv6 one sends 0), so that
    /// nobody can make the gateway open connections to a third host.
    static bool mayConnectBack(const net::IpAddress& caller, const vxi11::DeviceRemoteFunc& remote);
    /// create_intr_chan from `connection`, whose client is at `caller`: connects back to
    /// the client. 0; 8 for anything but TCP and DEVICE_INTR version 1 (and always when not
    /// served); 29 when the connection has a channel; 6 when `remote` is not the client's
    /// address (see mayConnectBack) or cannot be reached.
    std::int32_t create(std::uint64_t connection, const net::IpAddress& caller,
                        const vxi11::DeviceRemoteFunc& remote);
    /// destroy_intr_chan: 0, or 6 when the connection has no channel.
    std::int32_t destroy(std::uint64_t connection);
    /// Closes the channel of a connection that ended.
    void close(std::uint64_t connection);
    /// Calls device_intr_srq on the channel of each target's connection. The call is one-way
    /// and never waits: a client that does not read its channel loses calls, not the
    /// simulator's time.
    void notify(const std::vector<LinkTable::SrqTarget>& targets);

private:
    const Log& m_log;
    const bool m_served;
    std::mutex m_mutex;
    std::map<std::uint64_t, net::TcpConnection> m_channels;
    std::uint32_t m_xid = 0;
};

} // namespace gateway
