#pragma once

#include "library/Transport.h"
#include "net/TcpConnection.h"
#include "socket/SocketReader.h"
#include "socket/SocketTransport.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace rawsocket {

/// One raw socket session: its connection, the reader that keeps what a read left, and where
/// to connect again on a clear or after an exchange left unfinished. SocketTransport documents
/// the behaviour.
class SocketSession final : public library::TransportSession, private ByteSource {
public:
    SocketSession(std::vector<net::IpAddress> addresses, std::uint16_t port, net::SocketOps& ops,
                  const SocketOptions& options);
    SocketSession(const SocketSession&) = delete;
    SocketSession& operator=(const SocketSession&) = delete;

    /// Connects (again) by `deadline`; throws net::TransportError.
    void connect(net::Deadline deadline);

    void write(std::span<const std::uint8_t> data, bool end, const library::CallTime& time,
               std::size_t& sent) override;
    std::optional<std::uint8_t> defaultTermChar() const noexcept override {
        return m_defaultTermChar;
    }
    void read(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
              const library::CallTime& time, library::ReadProgress& progress) override;
    void clear(const library::CallTime& time) override;
    std::uint8_t readStb(const library::CallTime& time) override;
    void trigger(const library::CallTime& time) override;
    void close(net::Deadline deadline) noexcept override;

private:
    /// The socket calls of the connection, counting the bytes sent, so a write cut short
    /// still tells how much went.
    class CountingOps final : public net::SocketOps {
    public:
        explicit CountingOps(net::SocketOps& inner) : m_inner(inner) {}
        ssize_t send(int fd, const void* data, std::size_t length) override;
        ssize_t sendv(int fd, const iovec* pieces, int count) override;
        ssize_t recv(int fd, void* data, std::size_t length) override;
        std::size_t sent = 0;

    private:
        net::SocketOps& m_inner;
    };

    std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline deadline) override;
    /// Runs one exchange: first connects again when the last one was left unfinished. A
    /// time-out (error 15) or an interrupt leaves the stream out of step, so the connection
    /// goes at once and the next exchange starts on a new one; any other failure closes the
    /// connection, so every later call reports it lost.
    template <typename F>
    void guarded(net::Deadline deadline, F&& body);
    /// Sends `bytes` whole or throws; `sent` counts what went, as in write().
    void send(std::span<const std::uint8_t> bytes, net::Deadline deadline, std::size_t& sent);

    CountingOps m_ops;
    net::TcpConnection m_connection;
    SocketReader m_reader;
    std::vector<net::IpAddress> m_addresses; ///< the host's, tried in order at each connect
    std::uint16_t m_port;
    std::optional<std::uint8_t> m_defaultTermChar;
    /// An exchange ended with an answer possibly still on its way, or a message half sent:
    /// the next one connects again first.
    bool m_outOfStep = false;
    /// The session connected again for that reason; the next read says so (kResync).
    bool m_resynced = false;
};

/// The status byte in an answer to `*STB?` (a decimal number 0-255, blanks, a sign and the
/// terminator allowed around it); throws LibraryError 135 for anything else.
std::uint8_t parseStatusByte(std::span<const std::uint8_t> answer);

} // namespace rawsocket
