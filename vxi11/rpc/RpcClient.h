#pragma once

#include "net/TcpConnection.h"
#include "net/TransportError.h"
#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/Rpc.h"
#include "vxi11/codec/Xdr.h"
#include "vxi11/rpc/RecordStream.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace vxi11::rpc {

/// Cap on a reply's size for every call whose reply is read whole (results are a few words).
inline constexpr std::size_t kSmallReplyCap = 4096;
/// Largest reply record the client reads whole at all. A large opaque at the end of a reply
/// (device_read's data) is read part by part instead (callInto).
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
    explicit RpcClient(net::TcpConnection connection);

    /// Sends a call and waits until `deadline` for its reply. Returns the results of a SUCCESS
    /// reply; throws net::TransportError otherwise (connection lost, time-out, malformed reply, or
    /// the call refused by the server). A reply larger than `replyCap` is a malformed reply.
    xdr::Bytes call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc, xdr::ByteView args,
                    net::Deadline deadline, std::size_t replyCap = kSmallReplyCap);
    /// As above, for arguments that end in a variable-length opaque (device_write's data):
    /// `args` are the encoded arguments up to and with the opaque's length word, `data` its
    /// bytes, which go to the socket from where they lie (no copy), followed by their padding.
    xdr::Bytes call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc, xdr::ByteView args,
                    xdr::ByteView data, net::Deadline deadline);

    /// The results of a reply whose last item is a variable-length opaque read by callInto.
    struct IntoReply {
        xdr::Bytes head;        ///< the results before the opaque
        std::size_t length = 0; ///< the opaque's length: its bytes are in `into`
    };
    /// Sends a call whose results end in a variable-length opaque (device_read's data) after
    /// `headBytes` bytes of other results, and receives the opaque's bytes straight into
    /// `into`, with no copy on the way. Throws as call(); an opaque longer than `into` is a
    /// malformed reply. Bytes after the opaque (padding, or more) are dropped.
    IntoReply callInto(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                       xdr::ByteView args, std::size_t headBytes, std::span<std::uint8_t> into,
                       net::Deadline deadline);

    /// Typed call of procedure P: encodes the arguments and decodes the results.
    template <typename P>
    typename P::Result call(const typename P::Args& args, net::Deadline deadline,
                            std::size_t replyCap = kSmallReplyCap) {
        xdr::Encoder e;
        args.encode(e);
        const xdr::Bytes results = call(P::prog, P::vers, P::proc, e.bytes(), deadline, replyCap);
        // Bytes after a complete result are tolerated: some servers append padding.
        auto decoded = decodeResultFor<P>(results, true);
        if (!decoded) {
            throw net::TransportError(net::TransportError::Kind::Malformed, "bad results");
        }
        return *decoded;
    }

    /// Sends a whole call message as it is (its header included, even a wrong one) and
    /// returns the undecoded reply record whose xid is `xid`. Throws like call().
    xdr::Bytes exchange(std::uint32_t xid, xdr::ByteView callMessage, net::Deadline deadline);

    bool isOpen() const noexcept { return m_connection.isOpen(); }
    void close() noexcept;
    const net::TcpConnection& connection() const noexcept { return m_connection; }

private:
    [[noreturn]] void closeAndThrowMalformed(const char* what);
    /// Sends one call record: `callMessage`, then `data` and its padding if any.
    void sendCall(xdr::ByteView callMessage, xdr::ByteView data, net::Deadline deadline);
    /// The next record, read whole; framing over its limits closes the connection and throws.
    xdr::Bytes readRecord(net::Deadline deadline);
    /// Reads whole records until the one whose xid is `xid`, skipping older ones.
    xdr::Bytes awaitReply(std::uint32_t xid, net::Deadline deadline);
    /// True for the reply to `xid`, false for the reply to an older call (to be skipped);
    /// closes the connection and throws for anything else.
    bool isReplyTo(std::uint32_t xid, xdr::ByteView record);
    /// Finishes a record that a call given up on left half read: its late reply.
    void dropAbandonedParts(net::Deadline deadline);
    /// Begins the next record part by part and reads the start of a reply in it: the header
    /// and `headBytes + 4` bytes of results (up to the opaque's length). Fewer when the record
    /// ends first (then no part is in progress any more).
    xdr::Bytes readReplyStart(std::size_t headBytes, std::size_t opaqueCap, net::Deadline deadline);
    /// For the start of our reply, read by readReplyStart: receives the opaque into `into` and
    /// drops the rest of the record.
    IntoReply receiveOpaque(xdr::ByteView start, std::size_t headBytes,
                            std::span<std::uint8_t> into, net::Deadline deadline);
    /// The results of a SUCCESS reply, or the refusal thrown.
    static xdr::ByteView resultsOf(const rpc::Reply& reply);

    net::TcpConnection m_connection;
    RecordStream m_stream{kMaxReplyRecord};
    std::uint32_t m_xid = 0;
};

} // namespace vxi11::rpc
