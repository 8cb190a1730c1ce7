#pragma once
// The HiSLIP server: the sessions by their IDs, what a sub-address names, the connections
// accepted on the HiSLIP port (each becomes a session's synchronous or asynchronous channel by
// its first message), and the delivery of service requests to the sessions of the instrument
// that asks. The work of each channel is in HislipChannels.h.
//
// Sub-addresses, compared without regard to case: empty and `hislip0` are the first LAN
// instrument; a LAN instrument's own name is that instrument (it wins over the aliases);
// `hislipN` is the bus device at primary N (1-30), or at N / 100 with secondary N % 100 for N
// 101-3030; and the VXI-11 names of bus devices (`gpib0,22`, `gpib0,5,2`, `hpib,7`) name them
// too. Anything else, or an address with no instrument, is refused with FatalError.

#include "gateway/devices/DeviceAccess.h"
#include "gateway/hislip/HislipSession.h"
#include "gateway/hislip/HislipSettings.h"
#include "gateway/serving/StreamService.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace gateway {

/// FatalError code of an Initialize whose sub-address names nothing here (device-defined).
inline constexpr std::uint8_t kFatalUnknownSubAddress = 128;

class HislipService final : public StreamService {
public:
    HislipService(HislipConfig config, DeviceBus& bus, LockTable& locks)
        : m_config(std::move(config)), m_bus(bus), m_locks(locks) {}
    HislipService(const HislipService&) = delete;
    HislipService& operator=(const HislipService&) = delete;

    std::unique_ptr<ServedConnection> accept(net::TcpConnection socket,
                                             const net::IpAddress& peer) override;
    /// FatalError 4 (too many clients), if it can go out at once.
    void refuse(net::TcpConnection& socket) override;
    std::string_view name() const override { return "hislip"; }

    /// Delivers a service request that rose at `source` (ServiceRequests) to the sessions of
    /// that instrument which may have one (one per rise, none again until a status query).
    void serviceRequest(const std::string& source);
    /// Sessions open now (both channels or only the first).
    std::size_t liveSessions() const;

    // ---- For the channels.
    /// A new session of the instrument `subAddress` names, on its synchronous channel `sync`;
    /// null when it names nothing.
    std::shared_ptr<HislipSession> open(std::string_view subAddress,
                                        std::shared_ptr<Endpoint> sync);
    /// The session `id` with `async` bound to it as its asynchronous channel; null when no
    /// session has that ID or it has one already.
    std::shared_ptr<HislipSession> bind(std::uint16_t id, std::shared_ptr<Endpoint> async);
    /// A channel's thread is done with `session`; the last one lets go of its locks.
    void done(HislipSession& session, bool sync);

    const HislipConfig& config() const noexcept { return m_config; }
    void log(const std::string& line) const;

private:
    /// The device `subAddress` names, if one is there.
    std::optional<Device> resolve(std::string_view subAddress);
    std::uint16_t nextIdLocked();

    const HislipConfig m_config;
    DeviceBus& m_bus;
    LockTable& m_locks;
    mutable std::mutex m_mutex; ///< guards the table
    std::map<std::uint16_t, std::shared_ptr<HislipSession>> m_sessions;
    std::uint16_t m_nextId = 1;
};

} // namespace gateway
