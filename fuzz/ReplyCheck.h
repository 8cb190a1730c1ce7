#pragma once
// The client side of every reply target: decode the reply header as the client does, and check
// it against an independent re-encoding of what was decoded.

#include "FuzzCheck.h"

#include "vxi11/codec/Rpc.h"

#include <optional>

namespace fuzz {

/// Encodes a decoded reply's header the way the protocol lays it out (results not included).
inline vxi11::xdr::Bytes encodeReplyHeader(const vxi11::rpc::Reply& r) {
    using namespace vxi11::rpc;
    vxi11::xdr::Encoder e;
    e.putUint(r.xid);
    e.putUint(static_cast<std::uint32_t>(MsgType::Reply));
    e.putUint(static_cast<std::uint32_t>(r.replyStat));
    if (r.replyStat == ReplyStat::Accepted) {
        e.putUint(r.verf.flavor);
        e.putOpaque(r.verf.body);
        e.putUint(static_cast<std::uint32_t>(r.acceptStat));
        if (r.acceptStat == AcceptStat::ProgMismatch) {
            e.putUint(r.mismatchLow);
            e.putUint(r.mismatchHigh);
        }
    } else {
        e.putUint(static_cast<std::uint32_t>(r.rejectStat));
        if (r.rejectStat == RejectStat::RpcMismatch) {
            e.putUint(r.mismatchLow);
            e.putUint(r.mismatchHigh);
        } else {
            e.putUint(static_cast<std::uint32_t>(r.authStat));
        }
    }
    return e.take();
}

/// Decodes `record` as a reply and checks it; returns the results of a SUCCESS reply.
inline std::optional<vxi11::xdr::ByteView> decodeAndCheckReply(vxi11::xdr::ByteView record) {
    const auto reply = vxi11::rpc::decodeReply(record);
    if (!reply)
        return std::nullopt;
    FUZZ_CHECK(vxi11::rpc::peekXid(record) == reply->xid);
    FUZZ_CHECK(reply->verf.body.size() <= vxi11::rpc::kMaxAuthBody);
    FUZZ_CHECK(within(reply->results, record));
    vxi11::xdr::Bytes again = encodeReplyHeader(*reply);
    if (reply->success())
        again.insert(again.end(), reply->results.begin(), reply->results.end());
    else
        FUZZ_CHECK(reply->results.empty());
    // Every byte of the record is accounted for: header fields, then the results.
    FUZZ_CHECK(again == vxi11::xdr::Bytes(record.begin(), record.end()));
    if (!reply->success())
        return std::nullopt;
    return reply->results;
}

} // namespace fuzz
