#include "vxi11/RpcClient.h"

#include "vxi11/LibraryError.h"
#include "vxi11/Rpc.h"

#include <array>
#include <random>

namespace vxi11 {

RpcClient::RpcClient(TcpConnection connection) : m_connection(std::move(connection)) {
    // A random first xid keeps replies meant for an earlier connection of this process from
    // passing as ours if the gateway mixes them up.
    m_xid = std::random_device{}();
}

void RpcClient::close() noexcept {
    m_connection.close();
    m_reader.reset();
    m_pending.clear();
}

void RpcClient::throwMalformed(const char* what) {
    throw LibraryError(liberr::kMalformedReply, what);
}

void RpcClient::closeAndThrowMalformed(const char* what) {
    close();
    throwMalformed(what);
}

xdr::Bytes RpcClient::readRecord(Deadline deadline) {
    // Bytes left over from an earlier receive (a late reply followed by ours) come first.
    while (!m_pending.empty()) {
        const auto result = m_reader.feed(m_pending);
        m_pending.erase(m_pending.begin(),
                        m_pending.begin() + static_cast<std::ptrdiff_t>(result.consumed));
        if (result.status == rpc::RecordReader::Status::Complete) {
            return m_reader.takeRecord();
        }
        if (result.status == rpc::RecordReader::Status::Malformed) {
            closeAndThrowMalformed("reply too large");
        }
    }
    // Received bytes go straight into the reader; only what follows a complete record is
    // kept aside. The buffer is not cleared first: recv() writes what it returns.
    std::array<std::uint8_t, 65536> buffer;
    for (;;) {
        std::size_t n = 0;
        try {
            n = m_connection.receiveSome(buffer, deadline);
        } catch (const LibraryError& e) {
            if (e.number() != liberr::kGatewayTimeout) {
                close();
            }
            throw;
        }
        const xdr::ByteView got(buffer.data(), n);
        const auto result = m_reader.feed(got);
        if (result.status == rpc::RecordReader::Status::Malformed) {
            closeAndThrowMalformed("reply too large");
        }
        if (result.status == rpc::RecordReader::Status::Complete) {
            const auto rest = got.subspan(result.consumed);
            m_pending.assign(rest.begin(), rest.end());
            return m_reader.takeRecord();
        }
    }
}

xdr::Bytes RpcClient::call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                           xdr::ByteView args, Deadline deadline, std::size_t replyCap) {
    if (!m_connection.isOpen()) {
        throw LibraryError(liberr::kConnectionLost, m_connection.peerText());
    }
    const std::uint32_t xid = ++m_xid;
    const xdr::Bytes message = rpc::frameRecord(rpc::encodeCall(xid, prog, vers, proc, args));
    try {
        m_connection.sendAll(message, deadline);
    } catch (const LibraryError&) {
        // Part of the record may have gone out; the stream can no longer be framed.
        close();
        throw;
    }
    for (;;) {
        const xdr::Bytes record = readRecord(deadline);
        const auto replyXid = rpc::peekXid(record);
        if (!replyXid) {
            closeAndThrowMalformed("short reply");
        }
        if (*replyXid != xid) {
            // Older xid: the reply to a call given up on earlier. Anything else is nonsense.
            const auto age = static_cast<std::int32_t>(xid - *replyXid);
            if (age > 0) {
                continue;
            }
            closeAndThrowMalformed("reply to no call");
        }
        if (record.size() > replyCap) {
            throwMalformed("reply too large");
        }
        const auto reply = rpc::decodeReply(record);
        if (!reply) {
            throwMalformed("bad reply header");
        }
        if (reply->success()) {
            return xdr::Bytes(reply->results.begin(), reply->results.end());
        }
        if (reply->replyStat == rpc::ReplyStat::Denied) {
            throw LibraryError(liberr::kCallRefused,
                               reply->rejectStat == rpc::RejectStat::RpcMismatch
                                   ? "RPC version"
                                   : "authentication");
        }
        switch (reply->acceptStat) {
        case rpc::AcceptStat::ProgUnavail:
            throw LibraryError(liberr::kCallRefused, "no such program");
        case rpc::AcceptStat::ProgMismatch:
            throw LibraryError(liberr::kCallRefused, "program version");
        case rpc::AcceptStat::ProcUnavail:
            throw LibraryError(liberr::kCallRefused, "no such procedure");
        case rpc::AcceptStat::GarbageArgs:
            throw LibraryError(liberr::kCallRefused, "bad arguments");
        default:
            throw LibraryError(liberr::kCallRefused, "system error");
        }
    }
}

} // namespace vxi11
