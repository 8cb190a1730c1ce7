#include "vxi11/rpc/RpcClient.h"

#include "vxi11/codec/Rpc.h"

#include <algorithm>
#include <optional>
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
        const auto mark = rpc::encodeRecordMark({static_cast<std::uint32_t>(length), true});
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
    if (!m_stream.partInProgress()) {
        return;
    }
    // Nothing of the record came before the call was given up: the next record may as well be
    // the reply to this call (a gateway need not answer a call it dropped), so it is left to
    // the xid check, which skips a late reply all the same.
    if (!m_stream.partStarted()) {
        m_stream.cancelPart();
        return;
    }
    m_stream.skipPart(m_connection, deadline);
}

xdr::Bytes RpcClient::readRecord(net::Deadline deadline) {
    RecordStream::Result got = m_stream.read(m_connection, deadline);
    if (got.status != RecordStream::Status::Record) {
        closeAndThrowMalformed("reply too large");
    }
    return std::move(got.record);
}

xdr::Bytes RpcClient::awaitReply(std::uint32_t xid, net::Deadline deadline) {
    try {
        dropAbandonedParts(deadline);
        for (;;) {
            xdr::Bytes record = readRecord(deadline);
            if (isReplyTo(xid, record)) {
                return record;
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

/// The length word of the opaque that follows `headBytes` bytes of results, if they hold it.
std::optional<std::uint32_t> opaqueLengthAfter(xdr::ByteView results, std::size_t headBytes) {
    if (results.size() < headBytes) {
        return std::nullopt;
    }
    xdr::Decoder d(results.subspan(headBytes));
    std::uint32_t length = 0;
    if (!d.getUint(length)) {
        return std::nullopt;
    }
    return length;
}

/// The head of results: the bytes before the opaque.
xdr::Bytes headOf(xdr::ByteView results, std::size_t headBytes) {
    return xdr::Bytes(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(headBytes));
}

/// The head and the opaque of results held whole, the opaque copied into `into`.
RpcClient::IntoReply splitResults(xdr::ByteView results, std::size_t headBytes,
                                  std::span<std::uint8_t> into) {
    const auto length = opaqueLengthAfter(results, headBytes);
    if (!length || *length > into.size() || *length > results.size() - headBytes - 4) {
        throw net::TransportError(Kind::Malformed, "bad results");
    }
    std::copy_n(results.data() + headBytes + 4, *length, into.data());
    return {headOf(results, headBytes), *length};
}

} // namespace

xdr::Bytes RpcClient::readReplyStart(std::size_t headBytes, std::size_t opaqueCap,
                                     net::Deadline deadline) {
    // The reply's header and the results before the opaque, its length included, as if the
    // verifier had no body; then more if it has one.
    const std::size_t guess = rpc::kAcceptedReplyHeader + headBytes + 4;
    m_stream.beginPart(guess + rpc::kMaxAuthBody + opaqueCap + kSmallReplyCap);
    xdr::Bytes start(guess);
    std::size_t have = m_stream.readPart(m_connection, start, deadline);
    if (have == guess) {
        const auto header = rpc::acceptedReplyHeaderSize(start);
        if (!header) {
            closeAndThrowMalformed("bad reply header");
        }
        start.resize(*header + headBytes + 4);
        have += m_stream.readPart(m_connection, std::span(start).subspan(guess), deadline);
    }
    start.resize(have);
    return start;
}

RpcClient::IntoReply RpcClient::receiveOpaque(xdr::ByteView start, std::size_t headBytes,
                                              std::span<std::uint8_t> into,
                                              net::Deadline deadline) {
    const auto reply = rpc::decodeReply(start);
    if (!reply || !reply->success()) {
        // A refusal is never longer than its header: this one is no reply at all.
        closeAndThrowMalformed("bad reply header");
    }
    const auto length = opaqueLengthAfter(reply->results, headBytes);
    if (!length) {
        closeAndThrowMalformed("bad reply header");
    }
    if (*length > into.size()) {
        closeAndThrowMalformed("reply too large");
    }
    if (m_stream.readPart(m_connection, into.first(*length), deadline) < *length) {
        closeAndThrowMalformed("short reply");
    }
    // The padding, and whatever a server adds after the results.
    m_stream.skipPart(m_connection, deadline);
    return {headOf(reply->results, headBytes), *length};
}

RpcClient::IntoReply RpcClient::callInto(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                                         xdr::ByteView args, std::size_t headBytes,
                                         std::span<std::uint8_t> into, net::Deadline deadline) {
    const std::uint32_t xid = ++m_xid;
    sendCall(rpc::encodeCall(xid, prog, vers, proc, args), {}, deadline);
    // A reply that came whole (short, or begun before this call) is checked as call() checks
    // it, out of the try below: a refusal or bad results leave the stream in step.
    xdr::Bytes whole;
    std::size_t wholeCap = kSmallReplyCap;
    try {
        dropAbandonedParts(deadline);
        for (;;) {
            if (m_stream.inProgress()) {
                // A record begun whole by a call given up on: its late reply, read whole.
                whole = readRecord(deadline);
                if (isReplyTo(xid, whole)) {
                    wholeCap = kMaxReplyRecord;
                    break;
                }
                continue;
            }
            xdr::Bytes start = readReplyStart(headBytes, into.size(), deadline);
            if (!m_stream.partInProgress()) {
                // The whole reply was short: a refusal, or results without the opaque.
                if (isReplyTo(xid, start)) {
                    whole = std::move(start);
                    break;
                }
                continue;
            }
            if (isReplyTo(xid, start)) {
                return receiveOpaque(start, headBytes, into, deadline);
            }
            m_stream.skipPart(m_connection, deadline);
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
