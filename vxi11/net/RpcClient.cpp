#include "vxi11/net/RpcClient.h"

#include "vxi11/codec/Rpc.h"

#include <random>

namespace vxi11::net {

namespace {

using Kind = TransportError::Kind;

[[noreturn]] void throwRefusal(const rpc::Reply& reply) {
    if (reply.replyStat == rpc::ReplyStat::Denied) {
        throw TransportError(Kind::CallRefused, reply.rejectStat == rpc::RejectStat::RpcMismatch
                                                    ? "RPC version"
                                                    : "authentication");
    }
    switch (reply.acceptStat) {
    case rpc::AcceptStat::ProgUnavail:
        throw TransportError(Kind::CallRefused, "no such program");
    case rpc::AcceptStat::ProgMismatch:
        throw TransportError(Kind::CallRefused, "program version");
    case rpc::AcceptStat::ProcUnavail:
        throw TransportError(Kind::CallRefused, "no such procedure");
    case rpc::AcceptStat::GarbageArgs:
        throw TransportError(Kind::CallRefused, "bad arguments");
    default:
        throw TransportError(Kind::CallRefused, "system error");
    }
}

} // namespace

RpcClient::RpcClient(TcpConnection connection) : m_connection(std::move(connection)) {
    // A random first xid keeps replies meant for an earlier connection of this process from
    // passing as ours if the gateway mixes them up.
    m_xid = std::random_device{}();
}

void RpcClient::close() noexcept {
    m_connection.close();
    m_stream.reset();
}

void RpcClient::closeAndThrowMalformed(const char* what) {
    close();
    throw TransportError(Kind::Malformed, what);
}

xdr::Bytes RpcClient::exchange(std::uint32_t xid, xdr::ByteView callMessage, Deadline deadline) {
    if (!m_connection.isOpen()) {
        throw TransportError(Kind::ConnectionLost, m_connection.peerText());
    }
    try {
        m_connection.sendAll(rpc::frameRecord(callMessage), deadline);
    } catch (const TransportError&) {
        // Part of the record may have gone out; the stream can no longer be framed.
        close();
        throw;
    }
    for (;;) {
        RecordStream::Result got;
        try {
            got = m_stream.read(m_connection, deadline);
        } catch (const TransportError& e) {
            if (e.kind() != Kind::Timeout) {
                close();
            }
            throw;
        }
        if (got.status != RecordStream::Status::Record) {
            closeAndThrowMalformed("reply too large");
        }
        const auto replyXid = rpc::peekXid(got.record);
        if (!replyXid) {
            closeAndThrowMalformed("short reply");
        }
        if (*replyXid == xid) {
            return std::move(got.record);
        }
        // Older xid: the reply to a call given up on earlier. Anything else is nonsense.
        const auto age = static_cast<std::int32_t>(xid - *replyXid);
        if (age <= 0) {
            closeAndThrowMalformed("reply to no call");
        }
    }
}

xdr::Bytes RpcClient::call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                           xdr::ByteView args, Deadline deadline, std::size_t replyCap) {
    const std::uint32_t xid = ++m_xid;
    const xdr::Bytes record = exchange(xid, rpc::encodeCall(xid, prog, vers, proc, args), deadline);
    if (record.size() > replyCap) {
        throw TransportError(Kind::Malformed, "reply too large");
    }
    const auto reply = rpc::decodeReply(record);
    if (!reply) {
        throw TransportError(Kind::Malformed, "bad reply header");
    }
    if (!reply->success()) {
        throwRefusal(*reply);
    }
    return xdr::Bytes(reply->results.begin(), reply->results.end());
}

} // namespace vxi11::net
