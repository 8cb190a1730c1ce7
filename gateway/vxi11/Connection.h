#pragma once
// One accepted connection and its loop: read a record, dispatch it, send the reply, until the
// client leaves, breaks the framing, stays idle too long or the server stops.

#include "gateway/serving/ServerConfig.h"
#include "gateway/serving/StreamService.h"
#include "gateway/vxi11/Dispatch.h"
#include "net/TcpConnection.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace gateway {

class Connection;

/// What a connection asks of whoever accepted it.
class ConnectionHost {
public:
    /// Handles one record received on a connection serving `service`.
    virtual Outcome handle(const CallContext& call, Service service,
                           vxi11::xdr::ByteView record) = 0;
    /// Whether `connection`, silent for the idle time-out, may stay open (its client holds a
    /// link).
    virtual bool mayStayIdle(const Connection& connection) const = 0;
    /// `connection` ended: what its client held goes.
    virtual void ended(const Connection& connection) = 0;

protected:
    ~ConnectionHost() = default;
};

class Connection final : public ServedConnection {
public:
    Connection(std::uint64_t id, Service service, net::IpAddress peer, net::TcpConnection socket,
               const SimulatorLimits& limits, const Log& log, ConnectionHost& host)
        : m_id(id), m_service(service), m_peer(peer), m_limits(limits), m_log(log), m_host(host),
          m_socket(std::move(socket)) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Serves the connection until it ends; then its links are gone and its socket closed.
    void serve() override;
    /// Ends a serve() blocked in a receive (from another thread).
    void shutdown() override;

    std::uint64_t id() const noexcept { return m_id; }
    Service service() const noexcept { return m_service; }
    /// The client's address.
    const net::IpAddress& peer() const noexcept { return m_peer; }
    bool done() const noexcept override { return m_done.load(); }

private:
    /// Dispatches one record and sends its reply; false when the connection is to end.
    bool answer(const CallContext& context, vxi11::xdr::ByteView record);
    /// Sends the reply of `out` as one record; throws TransportError.
    void send(const Outcome& out);
    void log(const std::string& line) const;

    const std::uint64_t m_id;
    const Service m_service;
    const net::IpAddress m_peer;
    const SimulatorLimits& m_limits;
    const Log& m_log;
    ConnectionHost& m_host;
    std::mutex m_socketMutex; ///< closing against a shutdown from stop()
    net::TcpConnection m_socket;
    /// The memory of the last reply's payload, handed to the next call (CallContext::spare).
    vxi11::xdr::Bytes m_spare;
    /// Where a waveform is made on its way to the socket; allocated on first use.
    std::unique_ptr<std::uint8_t[]> m_waveform;
    std::atomic<bool> m_done{false};
};

} // namespace gateway
