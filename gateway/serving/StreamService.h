#pragma once
// What the server's connection slots hold, whatever the protocol: a connection served on a
// thread of its own. Every protocol the gateway serves over TCP (each VXI-11 channel, HiSLIP,
// the raw SCPI socket) is a StreamService on a listener of its own, which makes the object that
// serves each connection accepted there; one served over UDP (the portmapper) is a
// DatagramService.

#include "net/IpAddress.h"
#include "net/TcpConnection.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

namespace gateway {

/// One accepted connection, served by serve() on a thread of its own.
class ServedConnection {
public:
    virtual ~ServedConnection() = default;
    /// Serves the connection until it ends; then its socket is shut down.
    virtual void serve() = 0;
    /// Ends a serve() blocked in a receive or a send (from another thread).
    virtual void shutdown() = 0;
    /// True once serve() has returned.
    virtual bool done() const = 0;
};

/// A protocol served on a TCP listener of its own.
class StreamService {
public:
    /// The object that serves `socket`, accepted from `peer`.
    virtual std::unique_ptr<ServedConnection> accept(net::TcpConnection socket,
                                                     const net::IpAddress& peer) = 0;
    /// The protocol's connections are at their cap: tells the client so if the protocol can,
    /// before the server closes `socket`. Takes at most a moment.
    virtual void refuse(net::TcpConnection& socket) = 0;
    /// The protocol's name, for messages ("hislip", "socket").
    virtual std::string_view name() const = 0;

protected:
    ~StreamService() = default;
};

/// A protocol served on datagrams.
class DatagramService {
public:
    /// The answer to one datagram from `from`; empty: none.
    virtual std::vector<std::uint8_t> handle(std::span<const std::uint8_t> datagram,
                                             const net::IpAddress& from) = 0;

protected:
    ~DatagramService() = default;
};

/// An accepted socket that several threads send on (one at a time, under `sendMutex`). Shared
/// by its owners and closed when the last lets go, so that nobody shuts down or sends on a
/// descriptor that was closed and reused meanwhile.
struct Endpoint {
    explicit Endpoint(net::TcpConnection s) : socket(std::move(s)) {}
    net::TcpConnection socket;
    std::mutex sendMutex;
};

/// The part of a ServedConnection that every stream protocol has: its endpoint, shut down
/// on request, and the done flag.
class StreamConnection : public ServedConnection {
public:
    explicit StreamConnection(net::TcpConnection socket)
        : m_endpoint(std::make_shared<Endpoint>(std::move(socket))) {}

    void shutdown() override { m_endpoint->socket.shutdown(); }
    bool done() const override { return m_done.load(); }

protected:
    const std::shared_ptr<Endpoint>& endpoint() const noexcept { return m_endpoint; }
    net::TcpConnection& socket() noexcept { return m_endpoint->socket; }
    void finished() { m_done = true; }

private:
    std::shared_ptr<Endpoint> m_endpoint;
    std::atomic<bool> m_done{false};
};

} // namespace gateway
