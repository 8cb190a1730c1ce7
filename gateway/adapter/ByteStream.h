#pragma once

#include "gateway/adapter/AdapterPlace.h"
#include "net/Deadline.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace gateway::adapter {

/// The byte stream to an adapter, whatever carries it (a serial port, TCP). Failures throw
/// net::TransportError: Timeout at the deadline, ConnectionLost when the adapter went away
/// (unplugged, reset, hung up), anything else as the system reported it.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    /// Sends every byte by `deadline`.
    virtual void send(std::span<const std::uint8_t> bytes, net::Deadline deadline) = 0;
    /// Receives what is there, at least one byte, waiting until `deadline`.
    virtual std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline deadline) = 0;
    /// True once the other end is known to be gone (never blocks).
    virtual bool hungUp() const = 0;
    /// The device as the user named it, for log lines.
    virtual const std::string& name() const = 0;
};

/// Opens the stream `place` names: a serial port at `baud`, or a TCP connection made by
/// `deadline`. Throws net::TransportError (ConnectionRefused when the port is taken).
std::unique_ptr<ByteStream> openByteStream(const AdapterPlace& place, int baud,
                                           net::Deadline deadline);

} // namespace gateway::adapter
