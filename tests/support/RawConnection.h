#pragma once
// Raw bytes to and from a server on loopback, for tests that must send what no client would:
// broken framing, wrong headers, a call trickled byte by byte. Built on the library's own
// connection and record stream; every wait has a deadline, so a broken server fails a test
// instead of hanging it.

#include "net/Listeners.h"
#include "net/TcpConnection.h"
#include "net/TransportError.h"
#include "vxi11/codec/RecordMarking.h"
#include "vxi11/rpc/RecordStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace testsupport {

/// 127.0.0.1 in network byte order.
inline std::uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

/// A TCP connection to 127.0.0.1:port that sends and receives raw bytes.
class RawConnection {
public:
    explicit RawConnection(std::uint16_t port) {
        try {
            m_connection = net::TcpConnection::connect(
                loopback(), port, net::Deadline::after(std::chrono::seconds(5)));
        } catch (const net::TransportError&) {
            // connected() tells.
        }
    }

    bool connected() const { return m_connection.isOpen(); }
    void close() { m_connection.close(); }
    net::TcpConnection& socket() { return m_connection; }

    /// Sends the bytes as they are (framing included); false if they did not all go out.
    bool sendRaw(vxi11::xdr::ByteView bytes) {
        try {
            m_connection.sendAll(bytes, net::Deadline::after(std::chrono::seconds(5)));
            return true;
        } catch (const net::TransportError&) {
            return false;
        }
    }
    /// Sends one message framed as a single record.
    bool sendRecord(vxi11::xdr::ByteView body) { return sendRaw(vxi11::rpc::frameRecord(body)); }

    /// The next record, or nothing on time-out, close or bad framing.
    std::optional<vxi11::xdr::Bytes>
    receiveRecord(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        try {
            auto got = m_stream.read(m_connection, net::Deadline::after(timeout));
            if (got.status == vxi11::rpc::RecordStream::Status::Record) {
                return std::move(got.record);
            }
        } catch (const net::TransportError&) {
        }
        return std::nullopt;
    }

    /// True once the peer has closed or reset the connection within `timeout` (whatever it
    /// sent before is read and dropped).
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = net::Deadline::after(timeout);
        std::uint8_t sink[4096];
        try {
            for (;;) {
                m_connection.receiveSome(sink, deadline);
            }
        } catch (const net::TransportError& e) {
            return e.kind() != net::TransportError::Kind::Timeout;
        }
    }

private:
    net::TcpConnection m_connection;
    vxi11::rpc::RecordStream m_stream{1 << 22};
};

/// Datagrams to and from a UDP server on 127.0.0.1:port.
class RawDatagrams {
public:
    explicit RawDatagrams(std::uint16_t port)
        : m_port(port), m_socket(net::UdpSocket::open("127.0.0.1", 0)) {}

    /// Sends one datagram as it is.
    bool send(vxi11::xdr::ByteView datagram) {
        return m_socket.sendTo(datagram, loopback(), m_port);
    }
    /// The next datagram, or nothing after `timeout`.
    std::optional<vxi11::xdr::Bytes>
    receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::uint8_t buffer[9000];
        const auto got = m_socket.receiveFrom(buffer, net::Deadline::after(timeout));
        if (!got) {
            return std::nullopt;
        }
        return vxi11::xdr::Bytes(buffer, buffer + got->size);
    }

private:
    std::uint16_t m_port;
    net::UdpSocket m_socket;
};

/// A loopback port where nobody listens: bound, then released.
inline std::uint16_t closedPort() {
    return net::TcpListener::open("127.0.0.1", 0, 1).port();
}

} // namespace testsupport
