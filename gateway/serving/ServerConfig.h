#pragma once
// The limits every server of the gateway keeps, and where its log goes.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace gateway {

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

} // namespace gateway
