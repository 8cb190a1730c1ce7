#pragma once
// ONC RPC version 2 call and reply messages (RFC 5531), without the record marking.

#include "vxi11/codec/Xdr.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vxi11::rpc {

constexpr std::uint32_t kRpcVersion = 2;
/// Largest credential or verifier body allowed by the protocol.
constexpr std::uint32_t kMaxAuthBody = 400;

enum class MsgType : std::uint32_t { Call = 0, Reply = 1 };
enum class ReplyStat : std::uint32_t { Accepted = 0, Denied = 1 };
enum class AcceptStat : std::uint32_t {
    Success = 0,
    ProgUnavail = 1,
    ProgMismatch = 2,
    ProcUnavail = 3,
    GarbageArgs = 4,
    SystemErr = 5
};
enum class RejectStat : std::uint32_t { RpcMismatch = 0, AuthError = 1 };
enum class AuthStat : std::uint32_t {
    Ok = 0,
    BadCred = 1,
    RejectedCred = 2,
    BadVerf = 3,
    RejectedVerf = 4,
    TooWeak = 5,
    InvalidResp = 6,
    Failed = 7
};
enum class AuthFlavor : std::uint32_t { None = 0, Sys = 1, Short = 2, Dh = 3, RpcsecGss = 6 };

/// Credential or verifier: flavor and an opaque body of at most 400 bytes.
struct OpaqueAuth {
    std::uint32_t flavor = 0;
    xdr::Bytes body;
};

/// The fixed part of a call message.
struct CallHeader {
    std::uint32_t xid = 0;
    std::uint32_t prog = 0;
    std::uint32_t vers = 0;
    std::uint32_t proc = 0;
    OpaqueAuth cred;
    OpaqueAuth verf;
};

/// Encodes a call header (AUTH_NONE unless the header says otherwise) followed by `args`.
xdr::Bytes encodeCall(const CallHeader& header, xdr::ByteView args);
/// Shorthand for an AUTH_NONE call.
xdr::Bytes encodeCall(std::uint32_t xid, std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                      xdr::ByteView args);

/// What a server makes of a received record.
struct ParsedCall {
    enum class Status {
        Ok,            ///< header valid: answer the call
        NotACall,      ///< too short or not a call: no answer
        RpcMismatch,   ///< rpcvers is not 2: answer MSG_DENIED / RPC_MISMATCH
        BadCredentials ///< credentials undecodable: answer GARBAGE_ARGS
    };
    Status status = Status::NotACall;
    CallHeader header;
    xdr::ByteView args; ///< the procedure's arguments (points into the record)
};

/// Parses a call record as a server does, in the order that decides the answer.
ParsedCall parseCall(xdr::ByteView record);

/// Reads the xid of any message (call or reply); nothing if fewer than 4 bytes.
std::optional<std::uint32_t> peekXid(xdr::ByteView record);

/// Encodes an accepted reply with an AUTH_NONE verifier, followed by `results` (used with
/// SUCCESS; for the other statuses pass no results).
xdr::Bytes encodeAcceptedReply(std::uint32_t xid, AcceptStat stat, xdr::ByteView results = {});
/// PROG_MISMATCH with the lowest and highest version served.
xdr::Bytes encodeProgMismatch(std::uint32_t xid, std::uint32_t low, std::uint32_t high);
/// MSG_DENIED / RPC_MISMATCH: this server speaks RPC version 2 only.
xdr::Bytes encodeRpcMismatch(std::uint32_t xid);
/// MSG_DENIED / AUTH_ERROR with the reason.
xdr::Bytes encodeAuthError(std::uint32_t xid, AuthStat why);

/// A decoded reply message.
struct Reply {
    std::uint32_t xid = 0;
    ReplyStat replyStat = ReplyStat::Accepted;
    AcceptStat acceptStat = AcceptStat::Success;     ///< when accepted
    RejectStat rejectStat = RejectStat::RpcMismatch; ///< when denied
    AuthStat authStat = AuthStat::Ok;                ///< when denied with AUTH_ERROR
    std::uint32_t mismatchLow = 0;                   ///< PROG_MISMATCH or RPC_MISMATCH range
    std::uint32_t mismatchHigh = 0;
    OpaqueAuth verf;       ///< when accepted
    xdr::ByteView results; ///< SUCCESS: the procedure's results (points into the record)

    bool success() const {
        return replyStat == ReplyStat::Accepted && acceptStat == AcceptStat::Success;
    }
};

/// Bytes of an accepted reply before its results when the verifier has no body: xid, message
/// type, reply status, verifier flavor and length, accept status.
constexpr std::size_t kAcceptedReplyHeader = 24;

/// For a client that reads a reply in pieces: how many bytes an accepted reply takes before its
/// results, read from its first bytes (at least the 20 up to the verifier's length). A
/// verifier with a body pushes the results further on. Nothing when fewer bytes are given or
/// the verifier is longer than kMaxAuthBody. The rest of the header is checked by decodeReply.
std::optional<std::size_t> acceptedReplyHeaderSize(xdr::ByteView start);

/// Decodes a reply message as a client does. The returned `results` view points into
/// `record`: keep the record alive while using it (never pass a temporary). Fails on a call, a
/// short message, an unknown status or a verifier over 400 bytes. For accept statuses other than
/// SUCCESS and PROG_MISMATCH, and for denied replies, trailing bytes are refused.
std::optional<Reply> decodeReply(xdr::ByteView record);

} // namespace vxi11::rpc
