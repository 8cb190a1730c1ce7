#pragma once
// The servers of every protocol over one bus: VXI-11 (core and abort channels, the interrupt
// channel back to the client, its portmapper or a registration with the system's), HiSLIP and
// the raw SCPI socket, with one lock table and one routing of service requests. The bus is any
// implementation of the device seam: the simulated bench, or a real bus behind an adapter.
// start() binds and serves on background threads; stop() (or the destructor) closes every
// socket and joins every thread.

#include "gateway/devices/DeviceBus.h"
#include "gateway/devices/LockTable.h"
#include "gateway/hislip/HislipSettings.h"
#include "gateway/serving/ServerConfig.h"
#include "gateway/vxi11/LinkTable.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gateway {

/// What the gateway serves and where.
struct GatewayConfig {
    std::string listenAddress = "127.0.0.1"; ///< numeric address to bind
    /// Own portmapper port; 0 = a free one (the program uses 111).
    std::uint16_t portmapperPort = 0;
    /// Register with a running system portmapper on 127.0.0.1:111 instead of serving one.
    bool registerWithSystemPortmapper = false;
    /// Serve create_intr_chan; false refuses it with 8, as gateways without one do.
    bool interruptChannels = true;
    /// Serve HiSLIP on this TCP port (0: a free one); not at all when unset.
    std::optional<std::uint16_t> hislipPort;
    HislipSettings hislip;
    /// Serve the first LAN instrument on a raw SCPI socket on this TCP port (0: a free one);
    /// not at all when unset.
    std::optional<std::uint16_t> socketPort;
    SimulatorLimits limits;
    Log log;
};

class Gateway {
public:
    /// Serves `bus`, which outlives the gateway.
    Gateway(GatewayConfig config, DeviceBus& bus);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    /// Binds all sockets and starts serving. Returns false with a reason in `error` (for
    /// example the portmapper port is taken); nothing keeps running then.
    bool start(std::string* error = nullptr);
    /// Stops serving: closes sockets, ends waiting calls, joins threads. Idempotent.
    void stop();

    const GatewayConfig& config() const;
    std::uint16_t portmapperPort() const;
    std::uint16_t corePort() const;
    std::uint16_t abortPort() const;
    /// The HiSLIP and raw socket ports; 0 when the server does not run.
    std::uint16_t hislipPort() const;
    std::uint16_t socketPort() const;
    /// "ready portmapper=HOST:PORT core=PORT abort=PORT", then " hislip=PORT" and
    /// " socket=PORT" for the servers that run.
    std::string readyLine() const;

    // ---- Observation, for tests. Each call takes a consistent snapshot.
    std::size_t liveLinks() const;
    std::size_t liveConnections() const;
    std::vector<LinkInfo> links() const;
    std::vector<DestroyedLink> destroyedLinks() const;
    /// The lock table's key of a device name ("gpib0", "gpib0,5", "inst0"), if it names one.
    std::optional<std::string> lockKey(std::string_view device) const;
    /// The VXI-11 link that holds the exclusive lock on a device name, if one does.
    std::optional<std::int32_t> lockHolder(std::string_view device) const;
    /// The locks on a device name, whoever holds them.
    LockTable::Info lockInfo(std::string_view device) const;
    /// HiSLIP sessions open now.
    std::size_t hislipSessions() const;
    /// RPC calls handled so far (all programs).
    std::uint64_t callCount() const;

    // ---- Fault injection, for tests.
    /// The next call on link `lid` (any link if none given) fails with VXI-11 `error` and
    /// does nothing else.
    void failNextCall(std::optional<std::int32_t> lid, std::int32_t error);
    /// The next call on link `lid` (any link if none given) gets no reply: the server closes
    /// that connection instead, which destroys its links and releases their locks.
    void dropNextCall(std::optional<std::int32_t> lid);

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace gateway
