#include "vxi11/rpc/RpcClient.h"

#include "vxi11/codec/Rpc.h"

#include <algorithm>
#include <random>

namespace vxi11::rpc {

namespace {

using Kind = net::TransportError::Kind;

[[noreturn]] void throwRefusal(const rpc::Reply& reply) {
    if (reply.replyStat == rpc::ReplyStat::Denied) {
        throw net::TransportError(
            Kind::CallRefused,
            reply.rejectStat == rpc::RejectStat::RpcMismatch ? "RPC version" : "authentication");
    }
    switch (reply.acceptStat) {
    case rpc::AcceptStat::ProgUnavail:
        throw net::TransportError(Kind::CallRefused, "no such program");
    case rpc::AcceptStat::ProgMismatch:
        throw net::TransportError(Kind::CallRefused, "program version");
    case rpc::AcceptStat::ProcUnavail:
        throw net::TransportError(Kind::CallRefused, "no such procedure");
    case rpc::AcceptStat::GarbageArgs:
        throw net::TransportError(Kind::CallRefused, "bad arguments");
    default:
        throw net::TransportError(Kind::CallRefused, "system error");
    }
}

} // namespace

RpcClient::RpcClient(net::TcpConnection connection) : m_connection(std::move(connection)) {
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
    throw net::TransportError(Kind::Malformed, what);
}

void RpcClient::sendCall(xdr::ByteView callMessage, xdr::ByteView data, net::Deadline deadline) {
    if (!m_connection.isOpen()) {
        throw net::TransportError(Kind::ConnectionLost, m_connection.peerText());
    }
    try {
        if (data.empty()) {
            m_connection.sendAll(rpc::frameRecord(callMessage), deadline);
            return;
        }
        const std::size_t pad = xdr::padding(data.size());
        const std::size_t length = callMessage.size() + data.size() + pad;
        if (length > rpc::kFragmentLengthMask) {
            throw net::TransportError(Kind::System, "call too large");
        }
        // Header, data and padding leave in one system call, the data from where it lies.
        std::uint8_t mark[4];
        xdr::storeBe32(mark, static_cast<std::uint32_t>(length) | rpc::kLastFragment);
        static constexpr std::uint8_t kZeros[3] = {};
        m_connection.sendAll({mark, callMessage, data, xdr::ByteView(kZeros, pad)}, deadline);
    } catch (const net::TransportError&) {
        // Part of the record may have gone out; the stream can no longer be framed.
        close();
        throw;
    }
}

bool RpcClient::isReplyTo(std::uint32_t xid, xdr::ByteView record) {
    const auto replyXid = rpc::peekXid(record);
    if (!replyXid) {
        closeAndThrowMalformed("short reply");
    }
    if (*replyXid == xid) {
        return true;
    }
    // Older xid: the reply to a call given up on earlier. Anything else is nonsense.
    const auto age = static_cast<std::int32_t>(xid - *replyXid);
    if (age <= 0) {
        closeAndThrowMalformed("reply to no call");
    }
    return false;
}

void RpcClient::dropAbandonedParts(net::Deadline deadline) {
    if (m_stream.partInProgress()) {
        m_stream.skipPart(m_connection, deadline);
    }
}

xdr::Bytes RpcClient::awaitReply(std::uint32_t xid, net::Deadline deadline) {
    try {
        dropAbandonedParts(deadline);
        for (;;) {
            RecordStream::Result got = m_stream.read(m_connection, deadline);
            if (got.status != RecordStream::Status::Record) {
                closeAndThrowMalformed("reply too large");
            }
            if (isReplyTo(xid, got.record)) {
                return std::move(got.record);
            }
        }
    } catch (const net::TransportError& e) {
        if (!e.onlyWaitEnded()) {
            close();
        }
        throw;
    }
}

xdr::Bytes RpcClient::exchange(std::uint32_t xid, xdr::ByteView callMessage,
                               net::Deadline deadline) {
    sendCall(callMessage, {}, deadline);
    return awaitReply(xid, deadline);
}

xdr::ByteView RpcClient::resultsOf(const rpc::Reply& reply) {
    if (!reply.success()) {
        throwRefusal(reply);
    }
    return reply.results;
}

namespace {

/// The results of a whole reply record, checked as every call checks them.
xdr::Bytes checkedResults(const xdr::Bytes& record, std::size_t replyCap,
                          xdr::ByteView (*resultsOf)(const rpc::Reply&)) {
    if (record.size() > replyCap) {
        throw net::TransportError(Kind::Malformed, "reply too large");
    }
    const auto reply = rpc::decodeReply(record);
    if (!reply) {
        throw net::TransportError(Kind::Malformed, "bad reply header");
    }
    const xdr::ByteView results = resultsOf(*reply);
    return xdr::Bytes(results.begin(), results.end());
}

/// Fixed part of an accepted reply: xid, REPLY, ACCEPTED, verifier flavor and length, status.
constexpr std::size_t kReplyHeader = 24;
/// Offset of the verifier's length in a reply.
constexpr std::size_t kVerifierLengthAt = 16;

} // namespace

xdr::Bytes RpcClient::call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                           xdr::ByteView args, net::Deadline deadline, std::size_t replyCap) {
    const std::uint32_t xid = ++m_xid;
    sendCall(rpc::encodeCall(xid, prog, vers, proc, args), {}, deadline);
    return checkedResults(awaitReply(xid, deadline), replyCap, &RpcClient::resultsOf);
}

xdr::Bytes RpcClient::call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                           xdr::ByteView args, xdr::ByteView data, net::Deadline deadline) {
    const std::uint32_t xid = ++m_xid;
    sendCall(rpc::encodeCall(xid, prog, vers, proc, args), data, deadline);
    return checkedResults(awaitReply(xid, deadline), kSmallReplyCap, &RpcClient::resultsOf);
}

namespace {

/// The head and the opaque of results held whole, the opaque copied into `into`.
RpcClient::IntoReply splitResults(xdr::ByteView results, std::size_t headBytes,
                                  std::span<std::uint8_t> into) {
    if (results.size() < headBytes + 4) {
        throw net::TransportError(Kind::Malformed, "bad results");
    }
    const std::size_t length = xdr::loadBe32(results.data() + headBytes);
    if (length > into.size() || length > results.size() - headBytes - 4) {
        throw net::TransportError(Kind::Malformed, "bad results");
    }
    std::copy_n(results.data() + headBytes + 4, length, into.data());
    return {xdr::Bytes(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(headBytes)),
            length};
}

} // namespace

RpcClient::IntoReply RpcClient::callInto(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                                         xdr::ByteView args, std::size_t headBytes,
                                         std::span<std::uint8_t> into, net::Deadline deadline) {
    const std::uint32_t xid = ++m_xid;
    sendCall(rpc::encodeCall(xid, prog, vers, proc, args), {}, deadline);
    const std::size_t prefixBytes = kReplyHeader + headBytes + 4;
    // A reply that came whole (short, or begun before this call) is checked as call() checks
    // it, out of the try below: a refusal or bad results leave the stream in step.
    xdr::Bytes whole;
    std::size_t wholeCap = kSmallReplyCap;
    try {
        dropAbandonedParts(deadline);
        for (;;) {
            if (m_stream.inProgress()) {
                // A record begun whole by a call given up on: its late reply, read whole.
                RecordStream::Result got = m_stream.read(m_connection, deadline);
                if (got.status != RecordStream::Status::Record) {
                    closeAndThrowMalformed("reply too large");
                }
                if (isReplyTo(xid, got.record)) {
                    whole = std::move(got.record);
                    wholeCap = kMaxReplyRecord;
                    break;
                }
                continue;
            }
            // The reply's header and the results before the opaque, its length included.
            m_stream.beginPart(prefixBytes + rpc::kMaxAuthBody + into.size() + kSmallReplyCap);
            xdr::Bytes prefix(prefixBytes);
            std::size_t have = m_stream.readPart(m_connection, prefix, deadline);
            if (have == prefixBytes) {
                const std::uint32_t verifier = xdr::loadBe32(prefix.data() + kVerifierLengthAt);
                if (verifier > rpc::kMaxAuthBody) {
                    closeAndThrowMalformed("bad reply header");
                }
                // A verifier with a body (rare) pushes the results further on.
                prefix.resize(prefixBytes + verifier + xdr::padding(verifier));
                have += m_stream.readPart(m_connection, std::span(prefix).subspan(prefixBytes),
                                          deadline);
            }
            prefix.resize(have);
            if (!m_stream.partInProgress()) {
                // The whole reply was short: a refusal, or results without the opaque.
                if (isReplyTo(xid, prefix)) {
                    whole = std::move(prefix);
                    break;
                }
                continue;
            }
            if (!isReplyTo(xid, prefix)) {
                m_stream.skipPart(m_connection, deadline);
                continue;
            }
            const auto reply = rpc::decodeReply(prefix);
            if (!reply || !reply->success()) {
                // A refusal is never longer than its header: this one is no reply at all.
                closeAndThrowMalformed("bad reply header");
            }
            const std::size_t length = xdr::loadBe32(reply->results.data() + headBytes);
            if (length > into.size()) {
                closeAndThrowMalformed("reply too large");
            }
            if (m_stream.readPart(m_connection, into.first(length), deadline) < length) {
                closeAndThrowMalformed("short reply");
            }
            // The padding, and whatever a server adds after the results.
            m_stream.skipPart(m_connection, deadline);
            return {xdr::Bytes(reply->results.begin(),
                               reply->results.begin() + static_cast<std::ptrdiff_t>(headBytes)),
                    length};
        }
    } catch (const net::TransportError& e) {
        if (!e.onlyWaitEnded()) {
            close();
        }
        throw;
    }
    return splitResults(checkedResults(whole, wholeCap, &resultsOf), headBytes, into);
}

} // namespace vxi11::rpc
