#pragma once
// A small blocking ONC RPC client over loopback TCP built on the codec, for driving the
// simulator in tests. Every receive has a deadline so a broken server fails a test instead
// of hanging it.

#include "vxi11/codec/Messages.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace testrpc {

class RpcTestClient {
public:
    RpcTestClient() = default;
    RpcTestClient(const RpcTestClient&) = delete;
    RpcTestClient& operator=(const RpcTestClient&) = delete;
    ~RpcTestClient() { close(); }

    bool connect(std::uint16_t port);
    void close();
    bool connected() const { return m_fd >= 0; }

    /// Sends raw bytes as they are (framing included).
    bool sendRaw(vxi11::xdr::ByteView bytes);
    /// Sends one call message framed as a single record.
    bool sendRecord(vxi11::xdr::ByteView message) {
        return sendRaw(vxi11::rpc::frameRecord(message));
    }
    /// Receives one reply record (nothing on time-out, close or bad framing).
    std::optional<vxi11::xdr::Bytes>
    receiveRecord(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// True if the server closed the connection within `timeout`.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    /// Sends a raw call message and decodes the reply header.
    std::optional<vxi11::rpc::Reply> rawCall(vxi11::xdr::ByteView message,
                                             vxi11::xdr::Bytes& storage);

    /// Calls procedure P and decodes its result (nothing on any failure).
    template <typename P>
    std::optional<typename P::Result>
    call(const typename P::Args& args,
         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const std::uint32_t xid = ++m_xid;
        if (!sendRecord(vxi11::encodeCallFor<P>(xid, args)))
            return std::nullopt;
        const auto record = receiveRecord(timeout);
        if (!record)
            return std::nullopt;
        const auto reply = vxi11::rpc::decodeReply(*record);
        if (!reply || reply->xid != xid || !reply->success())
            return std::nullopt;
        return vxi11::decodeResultFor<P>(reply->results);
    }

    std::uint32_t nextXid() { return ++m_xid; }

private:
    int m_fd = -1;
    std::uint32_t m_xid = 100;
    vxi11::rpc::RecordReader m_reader{1 << 22};
    vxi11::xdr::Bytes m_pending;
};

/// One UDP datagram exchange with a server on loopback.
std::optional<vxi11::xdr::Bytes> udpExchange(std::uint16_t port, vxi11::xdr::ByteView datagram,
                                             std::chrono::milliseconds timeout);

} // namespace testrpc
