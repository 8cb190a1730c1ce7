#pragma once
// A VXI-11 LAN/GPIB gateway simulator: portmapper (TCP and UDP), core and abort channels, a
// simulated IEEE-488 bus behind the interface link "gpib0", and IEEE 488.2 instruments on it;
// on request a HiSLIP server for the same instruments and a raw SCPI socket for the first LAN
// instrument, with one lock table and one routing of service requests for every protocol.
// Tests start it in-process on free loopback ports; the program siclquill-gateway wraps it.
// This class is the composition of the gateway's servers (Gateway) with the simulated bench
// behind the device seam (SimulatedBus): starting and stopping, observation and fault hooks.

#include "gateway/Config.h"
#include "gateway/instrument/Snapshots.h"
#include "gateway/simbus/BusSnapshot.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gateway {

/// The simulator. start() binds and serves on background threads; stop() (or the
/// destructor) closes every socket and joins every thread.
class Simulator {
public:
    explicit Simulator(SimulatorConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /// Binds all sockets and starts serving. Returns false with a reason in `error` (for
    /// example the portmapper port is taken); nothing keeps running then.
    bool start(std::string* error = nullptr);
    /// Stops serving: closes sockets, ends waiting calls, joins threads. Idempotent.
    void stop();

    std::string listenAddress() const;
    std::uint16_t portmapperPort() const;
    std::uint16_t corePort() const;
    std::uint16_t abortPort() const;
    /// The HiSLIP and raw socket ports; 0 when the server does not run.
    std::uint16_t hislipPort() const;
    std::uint16_t socketPort() const;
    /// Where the bench is presented as a `++` adapter: its TCP port or its terminal's path;
    /// empty when it is not.
    std::string plusplusWhere() const;
    /// "ready portmapper=HOST:PORT core=PORT abort=PORT", then " hislip=PORT",
    /// " socket=PORT" and " plusplus=PORT|PATH" for the servers that run.
    std::string readyLine() const;

    // ---- Observation, for tests. Each call takes a consistent snapshot.
    std::size_t liveLinks() const;
    std::size_t liveConnections() const;
    std::vector<LinkInfo> links() const;
    std::vector<DestroyedLink> destroyedLinks() const;
    std::optional<InstrumentSnapshot> instrument(int pad, std::optional<int> sad = {}) const;
    /// The LAN instrument named `name`, if any.
    std::optional<InstrumentSnapshot> instrument(std::string_view name) const;
    BusSnapshot bus() const;
    /// The VXI-11 link that holds the exclusive lock on a device name ("gpib0", "gpib0,5",
    /// "inst0"), if one does.
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
    /// Changes an instrument's faults while serving. False if no such instrument.
    bool setInstrumentFaults(int pad, std::optional<int> sad, const InstrumentFaults& faults);
    /// The `++` adapter goes away, as one unplugged: its TCP port or its terminal closes, and
    /// its client with it.
    void unplugPlusPlus();
    /// The `++` adapter comes back, powered on afresh: on the TCP port it had, or on a new
    /// terminal (plusplusWhere() names it). False with a reason in `error`.
    bool replugPlusPlus(std::string* error = nullptr);
    /// The lines the `++` adapter took from its host so far (Emulator's `heard`).
    std::vector<std::string> plusplusHeard() const;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace gateway
