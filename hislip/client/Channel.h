#pragma once

#include "hislip/codec/MessageReader.h"
#include "net/Deadline.h"
#include "net/SocketOps.h"
#include "net/TcpConnection.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace hislip {

/// One of a session's two connections: its socket, the bytes received and not yet framed,
/// the reader that frames them, and the unsent rest of a message whose send ran out of time.
///
/// Receiving never waits (the session waits on both channels at once); sending waits for the
/// socket up to a deadline. Failures throw net::TransportError.
class Channel {
public:
    Channel() = default;
    Channel(net::TcpConnection connection, net::SocketOps& ops, MessageReader::Limits limits,
            std::string_view name);

    bool isOpen() const noexcept { return m_connection.isOpen(); }
    int fd() const noexcept { return m_connection.fd(); }
    void close() noexcept { m_connection.close(); }
    /// "sync" or "async", for error texts.
    std::string_view name() const noexcept { return m_name; }
    MessageReader& reader() noexcept { return m_reader; }
    const MessageReader& reader() const noexcept { return m_reader; }

    /// The next event in the bytes already received. A Data payload not taken meanwhile is
    /// skipped on the way.
    MessageReader::Status next();
    /// Receives what the socket holds now into the channel's buffer; false when nothing waits.
    bool receiveNow();
    /// Receives until `deadline` for the next event (a Data header, a whole message, a refusal
    /// or broken framing); throws TransportError(Timeout) when it passes first.
    MessageReader::Status nextBy(net::Deadline deadline);

    /// Up to `out.size()` bytes of the current Data payload that are here now: buffered bytes
    /// first, else received straight into `out`. With `stop`, the bytes end after the first
    /// `stop` (received through the buffer then, so the bytes after it stay). 0 when none is
    /// here yet.
    std::size_t takeDataNow(std::span<std::uint8_t> out, std::optional<std::uint8_t> stop);

    /// Sends one message given in pieces (header, payload), from where they lie, after the
    /// unsent rest of an earlier message. Returns how many bytes of `pieces` went out: all, or
    /// fewer when `deadline` passed; the rest of a message begun is then kept (copied) and goes
    /// out first next time, so the peer's framing holds.
    std::size_t send(std::span<const std::span<const std::uint8_t>> pieces, net::Deadline deadline);
    /// Sends a whole message; throws TransportError(Timeout) when it did not all go out.
    void sendAll(std::span<const std::uint8_t> message, net::Deadline deadline);
    /// Sends the unsent rest of an earlier message; false when `deadline` passed first.
    bool flushTail(net::Deadline deadline);

private:
    /// Sends `pieces` until done or `deadline`; the bytes that went out.
    std::size_t push(std::span<const std::span<const std::uint8_t>> pieces, net::Deadline deadline);
    std::span<std::uint8_t> freshBuffer();

    net::TcpConnection m_connection;
    net::SocketOps* m_ops = &net::SocketOps::system();
    MessageReader m_reader{MessageReader::Limits{}};
    std::unique_ptr<std::uint8_t[]> m_buffer; ///< allocated on first receive
    std::size_t m_begin = 0;                  ///< received bytes not yet used: [m_begin, m_end)
    std::size_t m_end = 0;
    Bytes m_tail;
    std::string_view m_name;
};

} // namespace hislip
