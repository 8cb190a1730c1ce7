#pragma once
// What the simulator serves and where: its instruments, addresses and limits.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gateway {

using Clock = std::chrono::steady_clock;

/// Misbehaviour of one instrument, for tests.
struct InstrumentFaults {
    /// A response becomes readable only this long after the query that produced it.
    std::chrono::milliseconds answerDelay{0};
    /// The instrument listens and accepts commands but never produces a response.
    bool silent = false;
    /// Responses end with CR LF instead of LF.
    bool crlf = false;
};

/// What a command works with while it runs (CommandTable.h).
struct CommandContext;
/// What a command does beyond a fixed answer: reads its arguments, changes the instrument,
/// sets its reply.
using CommandAction = void (*)(CommandContext&);
/// One row of a command table: a header, matched without regard to case, and what it does.
struct CommandRow {
    std::string header;
    CommandAction action = nullptr;
};

/// Largest waveform block.
inline constexpr std::uint64_t kMaxWaveformPoints = std::uint64_t{256} << 20;
/// Points of the waveform until `WAV:POIN` sets others.
inline constexpr std::uint64_t kDefaultWaveformPoints = 1000;

/// One simulated instrument: on the bus at (pad, sad), or, with a `name`, a LAN instrument that
/// is a VXI-11 device of its own.
struct InstrumentConfig {
    int pad = 0;            ///< primary address, 0-30
    std::optional<int> sad; ///< secondary address, 0-30, if the instrument has one
    /// The VXI-11 device name of a LAN instrument (matched without regard to case); empty for an
    /// instrument on the bus.
    std::string name;
    std::string idn; ///< answer to *IDN? (without terminator)
    /// Device-specific queries and their fixed answers (without terminator), matched without
    /// regard to case, e.g. {"MEAS:VOLT:DC?", "+1.234567E+00"}.
    std::vector<std::pair<std::string, std::string>> queries;
    /// Commands with a behaviour of their own, matched as the queries are.
    std::vector<CommandRow> commands;
    InstrumentFaults faults;
};

/// The waveform commands as the demo scope and `inst0` have them, short and long forms:
/// `WAV:POIN N` sets the bytes of the next waveform block (1 to 256 MiB), `WAV:POIN?` reads
/// it, `WAV:DATA?` answers an IEEE 488.2 definite-length block of that many bytes of a
/// deterministic waveform (see waveformBytes), made as it is read so that it holds no memory
/// of its size, `DATA <block>` takes a definite-length block of any size and counts its bytes,
/// and `DATA:COUN?` reads that count.
std::vector<CommandRow> waveformCommands();

/// Writes bytes [offset, offset + out.size()) of the waveform that `WAV:DATA?` sends: a sine of
/// period 1021, each period told apart from the last by its number (a misplaced piece shows).
void waveformBytes(std::uint64_t offset, std::span<std::uint8_t> out);

/// Limits that keep a misbehaving or hostile client from exhausting the simulator.
struct SimulatorLimits {
    std::size_t maxConnections = 64; ///< TCP connections at once (all channels together)
    std::size_t maxLinks = 256;      ///< links at once (create_link answers 9 beyond)
    /// Largest device_write data accepted (create_link's maxRecvSize); more is error 5.
    std::uint32_t maxRecvSize = 65536;
    /// Largest device_read answer per call; larger requests get this many bytes with no reason
    /// bit set and the client reads again. A waveform is made as it is sent, so this takes no
    /// memory.
    std::uint32_t maxReadChunk = 1u << 30;
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

/// Receives one line per RPC call handled (for --verbose); called from server threads.
using Log = std::function<void(std::string_view)>;

/// How the HiSLIP server behaves.
struct HislipSettings {
    /// The mode sessions start in, and the one proposed in a device clear: overlapped, or
    /// synchronized (a client may ask for either in a device clear and gets it).
    bool overlapped = false;
    /// The largest message the server accepts, announced in the maximum message size exchange:
    /// a Data payload may be this long. Larger ones are refused (Error 4) and skipped.
    std::uint64_t maxMessage = std::uint64_t{1} << 20;
    /// The largest message the server sends until the client has announced its own.
    std::uint64_t clientMaxBefore = std::uint64_t{1} << 20;
    /// The server's vendor ID: two ASCII characters, the first in the high byte.
    std::uint16_t vendorId = 0x5351; // "SQ"
    /// A session whose asynchronous channel has not come this long after Initialize, or a
    /// connection that has not said which channel it is, is closed (capped by the idle
    /// time-out, when that is shorter).
    std::chrono::milliseconds pairingTimeout{std::chrono::seconds(10)};
};

/// What the simulator serves and where.
struct SimulatorConfig {
    std::vector<InstrumentConfig> instruments; ///< on the bus
    /// LAN instruments (each with a `name`), VXI-11 devices of their own beside the bus.
    std::vector<InstrumentConfig> lanInstruments;
    int busAddress = 0;                      ///< the gateway's own GPIB address
    std::string listenAddress = "127.0.0.1"; ///< numeric IPv4 address to bind
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

/// The ready-made bench of `--demo`: a DMM at 22 (CR LF answers), a counter/source at 3, a
/// scope at 9 with a long *IDN? answer and the waveform commands, and a switch unit at 5 with
/// secondary address 2.
std::vector<InstrumentConfig> demoBench();
/// The LAN instrument of `--demo`: `inst0`, a scope with the waveform commands.
InstrumentConfig demoLanInstrument();
/// A LAN instrument named `name` answering *IDN? with `idn` (a made-up one when empty).
InstrumentConfig lanInstrument(std::string name, std::string idn = {});

} // namespace gateway
