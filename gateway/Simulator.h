#pragma once
// A VXI-11 LAN/GPIB gateway simulator: portmapper (TCP and UDP), core and abort channels, a
// simulated IEEE-488 bus behind the interface link "gpib0", and IEEE 488.2 instruments on it.
// Tests start it in-process on free loopback ports; the program siclquill-gateway wraps it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gateway {

/// Misbehaviour of one instrument, for tests.
struct InstrumentFaults {
    /// A response becomes readable only this long after the query that produced it.
    std::chrono::milliseconds answerDelay{0};
    /// The instrument listens and accepts commands but never produces a response.
    bool silent = false;
    /// Responses end with CR LF instead of LF.
    bool crlf = false;
};

/// One simulated instrument on the bus.
struct InstrumentConfig {
    int pad = 0;            ///< primary address, 0-30
    std::optional<int> sad; ///< secondary address, 0-30, if the instrument has one
    std::string idn;        ///< answer to *IDN? (without terminator)
    /// Device-specific queries and their fixed answers (without terminator), matched without
    /// regard to case, e.g. {"MEAS:VOLT:DC?", "+1.234567E+00"}.
    std::vector<std::pair<std::string, std::string>> queries;
    InstrumentFaults faults;
};

/// Limits that keep a misbehaving or hostile client from exhausting the simulator.
struct SimulatorLimits {
    std::size_t maxConnections = 64; ///< TCP connections at once (all channels together)
    std::size_t maxLinks = 256;      ///< links at once (create_link answers 9 beyond)
    /// Largest device_write data accepted (create_link's maxRecvSize); more is error 5.
    std::uint32_t maxRecvSize = 65536;
    /// Largest device_read answer per call (the server's buffer); larger requests get this
    /// many bytes with no reason bit set and the client reads again.
    std::uint32_t maxReadChunk = 1 << 20;
    /// Largest RPC record; beyond it the connection is closed. 0 = 2 x maxRecvSize + 2048.
    std::size_t maxRecordSize = 0;
    std::size_t maxFragmentsPerRecord = 4096;
    /// Bytes an instrument buffers in its input and output queues before it overflows.
    std::size_t maxQueueBytes = 1 << 20;
    /// A connection that holds no link and sends nothing for this long, or that takes longer
    /// to complete one record, is closed, so idle or trickling clients cannot hold every
    /// connection slot. A connection holding a link may stay idle for ever (a user who leaves
    /// an instrument linked), and so may an abort connection from the same address, which a
    /// client opens once for all its links. 0 = never.
    std::chrono::milliseconds idleTimeout{std::chrono::minutes(10)};
};

/// What the simulator serves and where.
struct SimulatorConfig {
    std::vector<InstrumentConfig> instruments;
    int busAddress = 0;                      ///< the gateway's own GPIB address
    std::string listenAddress = "127.0.0.1"; ///< numeric IPv4 address to bind
    std::uint16_t portmapperPort =
        0; ///< own portmapper port; 0 = a free one (the program uses 111)
    /// Register with a running system portmapper on 127.0.0.1:111 instead of serving one.
    bool registerWithSystemPortmapper = false;
    SimulatorLimits limits;
    /// Receives one line per RPC call handled (for --verbose); called from server threads.
    std::function<void(std::string_view)> log;
};

/// The ready-made bench of `--demo`: a DMM at 22 (CR LF answers), a counter/source at 3, a
/// scope at 9 with a long *IDN? answer, and a switch unit at 5 with secondary address 2.
std::vector<InstrumentConfig> demoBench();

/// State of one instrument as the tests see it.
struct InstrumentSnapshot {
    int pad = 0;
    std::optional<int> sad;
    std::string inputQueue;           ///< bytes received but not yet ended by LF or END
    std::string lastCommand;          ///< the last complete program message executed
    std::size_t outputQueueBytes = 0; ///< response bytes waiting to be read
    std::uint8_t statusByte = 0;      ///< as a serial poll would read it now (RQS included)
    std::uint8_t eventStatus = 0;     ///< standard event status register
    std::size_t errorCount = 0;       ///< entries in the error queue
    unsigned triggerCount = 0;
    unsigned clearCount = 0;
    bool remote = false;
    bool lockout = false;
    bool listener = false; ///< addressed to listen on the bus
    bool talker = false;   ///< addressed to talk on the bus
};

/// State of the bus lines and the gateway's own interface.
struct BusSnapshot {
    bool atn = false;
    bool ren = false;
    bool srq = false;
    bool ndac = false;
    bool talker = false;   ///< the gateway is addressed to talk
    bool listener = false; ///< the gateway is addressed to listen
    int busAddress = 0;
    unsigned ifcCount = 0;
};

/// A live link.
struct LinkInfo {
    std::int32_t lid = 0;
    std::string device; ///< canonical name: "gpib0", "gpib0,5" or "gpib0,5,2"
    std::uint64_t connection = 0;
    bool holdsLock = false;
};

/// One destroy_link call (also links destroyed because their connection dropped).
struct DestroyedLink {
    std::int32_t lid = 0;
    std::string device;
    bool byCall = true; ///< false: released because the connection ended
};

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
    /// "ready portmapper=HOST:PORT core=PORT abort=PORT".
    std::string readyLine() const;

    // ---- Observation, for tests. Each call takes a consistent snapshot.
    std::size_t liveLinks() const;
    std::size_t liveConnections() const;
    std::vector<LinkInfo> links() const;
    std::vector<DestroyedLink> destroyedLinks() const;
    std::optional<InstrumentSnapshot> instrument(int pad, std::optional<int> sad = {}) const;
    BusSnapshot bus() const;
    /// Holder of the lock on a device name ("gpib0", "gpib0,5"), if any.
    std::optional<std::int32_t> lockHolder(std::string_view device) const;
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

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace gateway
