#pragma once

#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/Xdr.h"
#include "vxi11/net/RecordStream.h"
#include "vxi11/net/TcpConnection.h"
#include "vxi11/net/TransportError.h"

#include <cstddef>
#include <cstdint>

namespace vxi11::net {

/// Cap on a reply's size for every call except device_read (results are a few words).
inline constexpr std::size_t kSmallReplyCap = 4096;
/// Largest reply record the client reads at all; device_read asks for at most this much less
/// a little room for the headers.
inline constexpr std::size_t kMaxReplyRecord = (1u << 20) + 4096;

/// ONC RPC over one TCP connection: one call at a time, replies matched by xid. Used by the
/// instrument library, the simulator's own outgoing calls and the tests.
///
/// A reply that comes too late is not lost track of: the partial record, if any, is kept, and
/// when the late reply finally arrives ahead of a newer one it is recognised by its older xid
/// and skipped. Framing errors and a reply with a newer xid close the connection, since
/// nothing later on it could be trusted.
class RpcClient {
public:
    RpcClient() = default;
    explicit RpcClient(TcpConnection connection);

    /// Sends a call and waits until `deadline` for its reply. Returns the results of a SUCCESS
    /// reply; throws TransportError otherwise (connection lost, time-out, malformed reply, or
    /// the call refused by the server). A reply larger than `replyCap` is a malformed reply.
    xdr::Bytes call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc, xdr::ByteView args,
                    Deadline deadline, std::size_t replyCap = kSmallReplyCap);

    /// Typed call of procedure P: encodes the arguments and decodes the results.
    template <typename P>
    typename P::Result call(const typename P::Args& args, Deadline deadline,
                            std::size_t replyCap = kSmallReplyCap) {
        xdr::Encoder e;
        args.encode(e);
        const xdr::Bytes results = call(P::prog, P::vers, P::proc, e.bytes(), deadline, replyCap);
        // Bytes after a complete result are tolerated: some servers append padding.
        auto decoded = decodeResultFor<P>(results, true);
        if (!decoded) {
            throw TransportError(TransportError::Kind::Malformed, "bad results");
        }
        return *decoded;
    }

    /// Sends a whole call message as it is (its header included, even a wrong one) and
    /// returns the undecoded reply record whose xid is `xid`. Throws like call().
    xdr::Bytes exchange(std::uint32_t xid, xdr::ByteView callMessage, Deadline deadline);

    bool isOpen() const noexcept { return m_connection.isOpen(); }
    void close() noexcept;
    const TcpConnection& connection() const noexcept { return m_connection; }

private:
    [[noreturn]] void closeAndThrowMalformed(const char* what);

    TcpConnection m_connection;
    RecordStream m_stream{kMaxReplyRecord};
    std::uint32_t m_xid = 0;
};

} // namespace vxi11::net
