#pragma once
// Typed procedures: each remote procedure is a type naming its program, version, number,
// argument and result structures, so a client writes `encodeCallFor<DeviceRead>(xid, parms)`
// and a server decodes `Args` and encodes `Result` without repeating numbers.

#include "vxi11/codec/Rpc.h"
#include "vxi11/codec/Xdr.h"

#include <cstdint>
#include <optional>

namespace vxi11 {

/// Empty arguments or results.
struct Void {
    void encode(xdr::Encoder&) const {}
    static bool decode(xdr::Decoder&, Void&) { return true; }
};

/// Describes one remote procedure.
template <std::uint32_t Prog, std::uint32_t Vers, std::uint32_t Proc, typename A, typename R>
struct Procedure {
    static constexpr std::uint32_t prog = Prog;
    static constexpr std::uint32_t vers = Vers;
    static constexpr std::uint32_t proc = Proc;
    using Args = A;
    using Result = R;
};

/// NULL procedure (number 0) of any program.
template <std::uint32_t Prog, std::uint32_t Vers>
using NullProc = Procedure<Prog, Vers, 0, Void, Void>;

/// The whole call message (without record marking) for procedure P.
template <typename P>
xdr::Bytes encodeCallFor(std::uint32_t xid, const typename P::Args& args) {
    xdr::Encoder e;
    args.encode(e);
    return rpc::encodeCall(xid, P::prog, P::vers, P::proc, e.bytes());
}

/// Decodes P's arguments from a parsed call (strict: no trailing bytes).
template <typename P>
std::optional<typename P::Args> decodeArgsFor(xdr::ByteView args) {
    return xdr::decodeAll<typename P::Args>(args);
}

/// The whole SUCCESS reply message for procedure P.
template <typename P>
xdr::Bytes encodeReplyFor(std::uint32_t xid, const typename P::Result& result) {
    xdr::Encoder e;
    result.encode(e);
    return rpc::encodeAcceptedReply(xid, rpc::AcceptStat::Success, e.bytes());
}

/// Decodes P's results from a SUCCESS reply's result bytes.
template <typename P>
std::optional<typename P::Result> decodeResultFor(xdr::ByteView results,
                                                  bool allowTrailing = false) {
    return xdr::decodeAll<typename P::Result>(results, allowTrailing);
}

} // namespace vxi11
