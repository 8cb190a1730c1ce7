#pragma once

#include "net/Deadline.h"
#include "net/Fd.h"
#include "net/IpAddress.h"
#include "net/TcpConnection.h"

#include <cstdint>
#include <optional>
#include <string>

namespace net {

/// A listening TCP socket (non-blocking): the simulator's channels, and the client's end of
/// an interrupt channel.
class TcpListener {
public:
    /// Whether accepted connections wait in receive (a server's connection thread) or not (a
    /// client that bounds every wait with a deadline).
    enum class Mode { Blocking, NonBlocking };

    /// An accepted connection and the peer's address.
    struct Accepted {
        TcpConnection connection;
        std::uint32_t peerIpv4 = 0; ///< network byte order; 0 for an IPv6 peer
        IpAddress peer;
    };

    TcpListener() = default;

    /// Binds the numeric `address` (IPv4, or IPv6 without brackets: `::1`, `::`) and `port`
    /// (0: a free one) and listens. Throws TransportError (System) with a text naming what
    /// failed ("bind 127.0.0.1:111: ...").
    static TcpListener open(const std::string& address, std::uint16_t port, int backlog);

    bool isOpen() const noexcept { return m_fd.valid(); }
    int fd() const noexcept { return m_fd.get(); }
    std::uint16_t port() const noexcept { return m_port; }
    void close() noexcept { m_fd.reset(); }

    /// Accepts a waiting connection with TCP_NODELAY set; nothing if none is waiting.
    std::optional<Accepted> accept(Mode mode);
    /// Waits until `deadline` for a connection and accepts it; nothing if none came. An
    /// interrupt (net/Interrupt.h) ends the wait with TransportError Kind::Interrupted.
    std::optional<Accepted> accept(Mode mode, Deadline deadline);

private:
    Fd m_fd;
    std::uint16_t m_port = 0;
};

/// A bound UDP socket (the simulator's portmapper, and tests that ask it).
class UdpSocket {
public:
    /// One datagram received: its length and where it came from.
    struct Received {
        std::size_t size = 0;
        std::uint32_t fromIpv4 = 0; ///< network byte order
        std::uint16_t fromPort = 0;
    };

    UdpSocket() = default;
    /// Binds the numeric IPv4 `address` and `port` (0: a free one); throws like TcpListener.
    static UdpSocket open(const std::string& address, std::uint16_t port);

    bool isOpen() const noexcept { return m_fd.valid(); }
    int fd() const noexcept { return m_fd.get(); }
    std::uint16_t port() const noexcept { return m_port; }
    void close() noexcept { m_fd.reset(); }

    /// A datagram that is waiting (nothing if none); waits up to `deadline` for one.
    std::optional<Received> receiveFrom(std::span<std::uint8_t> buffer,
                                        Deadline deadline = Deadline::after({}));
    /// Sends one datagram without waiting; false if it did not go out whole.
    bool sendTo(std::span<const std::uint8_t> datagram, std::uint32_t ipv4, std::uint16_t port);

private:
    Fd m_fd;
    std::uint16_t m_port = 0;
};

} // namespace net
