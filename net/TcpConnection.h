#pragma once

#include "net/Deadline.h"
#include "net/Fd.h"
#include "net/IpAddress.h"
#include "net/SocketOps.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace net {

/// One TCP connection. Connections made here are non-blocking with every wait bounded by a
/// deadline; TCP_NODELAY is set, so a record sent with one sendAll() goes out at once. A server
/// adopts the connections it accepts and may receive on them blocking (receiveBlocking).
/// Failures throw TransportError.
class TcpConnection {
public:
    TcpConnection() = default;

    /// Connects to `ipv4` (network byte order) and `port`, giving up at `deadline`. Throws
    /// TransportError: connection refused, time-out, system error.
    static TcpConnection connect(std::uint32_t ipv4, std::uint16_t port, Deadline deadline,
                                 SocketOps& ops = SocketOps::system());
    /// Connects to `address` (either family) and `port`, as above.
    static TcpConnection connect(const IpAddress& address, std::uint16_t port, Deadline deadline,
                                 SocketOps& ops = SocketOps::system());
    /// Tries `addresses` in order (a host's both families) until one connects; throws the last
    /// refusal, or at once a time-out or an interrupt. peerAddress() tells which one answered.
    static TcpConnection connectAny(const std::vector<IpAddress>& addresses, std::uint16_t port,
                                    Deadline deadline, SocketOps& ops = SocketOps::system());
    /// Takes over a connected socket (an accepted one); `peer` names it in error texts.
    static TcpConnection adopt(Fd fd, std::string peer, SocketOps& ops = SocketOps::system());

    bool isOpen() const noexcept { return m_fd.valid(); }
    void close() noexcept { m_fd.reset(); }
    int fd() const noexcept { return m_fd.get(); }

    /// Sends every byte or throws (connection lost, time-out).
    void sendAll(std::span<const std::uint8_t> bytes, Deadline deadline);
    /// Sends the pieces one after the other as one stream, each from where it lies (no copy
    /// into a buffer of its own), or throws as above. At most kMaxPieces pieces.
    void sendAll(std::initializer_list<std::span<const std::uint8_t>> pieces, Deadline deadline);
    static constexpr std::size_t kMaxPieces = 8;
    /// Receives what is there (at least one byte), waiting up to `deadline` on a non-blocking
    /// socket; throws (connection lost, time-out).
    std::size_t receiveSome(std::span<std::uint8_t> out, Deadline deadline);
    /// As receiveSome(), except that the peer's orderly close returns 0 (a reset still throws),
    /// for a stream whose data may end with the connection.
    std::size_t receiveUntilClose(std::span<std::uint8_t> out, Deadline deadline);
    /// Receives on a blocking socket: the byte count, 0 when the peer closed or the connection
    /// failed, nothing when the receive time-out (setReceiveTimeout) passed first.
    std::optional<std::size_t> receiveBlocking(std::span<std::uint8_t> out);

    /// Bounds each blocking receive (SO_RCVTIMEO); 0 waits for ever.
    void setReceiveTimeout(std::chrono::milliseconds timeout);
    /// Ends both directions, waking a thread blocked in a receive or send on it.
    void shutdown() noexcept;
    /// Ends the receiving direction only: what came already is still read, then the connection
    /// reads as closed; a thread blocked in a receive wakes.
    void stopReceiving() noexcept;
    /// True if the peer has closed or reset the connection (reads nothing).
    bool peerClosed() const noexcept;
    /// The local IPv4 address of the connection (network byte order); throws on failure.
    std::uint32_t localIpv4() const;
    /// The local address of the connection, of either family; throws on failure.
    IpAddress localAddress() const;
    /// The address a connection made here went to.
    const IpAddress& peerAddress() const noexcept { return m_address; }

    /// "HOST:PORT" of the peer, for error texts.
    const std::string& peerText() const noexcept { return m_peer; }

private:
    TcpConnection(Fd fd, SocketOps& ops, std::string peer, IpAddress address = {})
        : m_fd(std::move(fd)), m_ops(&ops), m_peer(std::move(peer)), m_address(address) {}
    /// Waits until `events` are ready; throws TransportError on time-out.
    void waitFor(short events, Deadline deadline);

    Fd m_fd;
    SocketOps* m_ops = &SocketOps::system();
    std::string m_peer;
    IpAddress m_address;
};

} // namespace net
