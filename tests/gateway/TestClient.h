#pragma once
// The library's RPC client as the gateway tests use it: connected to a port on loopback, every
// call bounded (10 s unless told otherwise), and any failure as nothing instead of an
// exception, so a test states what it expects with ASSERT_TRUE(r.has_value()).

#include "support/RawConnection.h"
#include "vxi11/codec/Messages.h"
#include "vxi11/rpc/RpcClient.h"

#include <chrono>
#include <optional>

namespace testrpc {

class TestClient {
public:
    bool connect(std::uint16_t port) {
        try {
            m_rpc = vxi11::rpc::RpcClient(net::TcpConnection::connect(
                testsupport::loopback(), port, net::Deadline::after(std::chrono::seconds(5))));
            return true;
        } catch (const net::TransportError&) {
            return false;
        }
    }
    void close() { m_rpc.close(); }

    /// Calls procedure P; its result, or nothing on any failure (a reply over `replyCap`
    /// bytes among them).
    template <typename P>
    std::optional<typename P::Result>
    call(const typename P::Args& args, std::chrono::milliseconds timeout = std::chrono::seconds(10),
         std::size_t replyCap = vxi11::rpc::kSmallReplyCap) {
        try {
            return m_rpc.call<P>(args, net::Deadline::after(timeout), replyCap);
        } catch (const net::TransportError&) {
            return std::nullopt;
        }
    }

    /// Sends a whole call message as it is and decodes the reply's header; `storage` keeps
    /// the record the reply points into.
    std::optional<vxi11::rpc::Reply> rawCall(vxi11::xdr::ByteView message,
                                             vxi11::xdr::Bytes& storage) {
        const auto xid = vxi11::rpc::peekXid(message);
        try {
            storage = m_rpc.exchange(xid.value_or(0), message,
                                     net::Deadline::after(std::chrono::seconds(10)));
        } catch (const net::TransportError&) {
            return std::nullopt;
        }
        return vxi11::rpc::decodeReply(storage);
    }

private:
    vxi11::rpc::RpcClient m_rpc;
};

} // namespace testrpc
