#include "vxi11/codec/Rpc.h"

namespace vxi11::rpc {

namespace {

void putAuth(xdr::Encoder& e, const OpaqueAuth& auth) {
    e.putUint(auth.flavor);
    e.putOpaque(auth.body);
}

bool getAuth(xdr::Decoder& d, OpaqueAuth& auth) {
    return d.getUint(auth.flavor) && d.getOpaque(auth.body, kMaxAuthBody);
}

xdr::Encoder acceptedHeader(std::uint32_t xid, AcceptStat stat) {
    xdr::Encoder e;
    e.putUint(xid);
    e.putUint(static_cast<std::uint32_t>(MsgType::Reply));
    e.putUint(static_cast<std::uint32_t>(ReplyStat::Accepted));
    e.putUint(static_cast<std::uint32_t>(AuthFlavor::None));
    e.putUint(0);
    e.putUint(static_cast<std::uint32_t>(stat));
    return e;
}

} // namespace

xdr::Bytes encodeCall(const CallHeader& header, xdr::ByteView args) {
    xdr::Encoder e;
    e.putUint(header.xid);
    e.putUint(static_cast<std::uint32_t>(MsgType::Call));
    e.putUint(kRpcVersion);
    e.putUint(header.prog);
    e.putUint(header.vers);
    e.putUint(header.proc);
    putAuth(e, header.cred);
    putAuth(e, header.verf);
    e.putRaw(args);
    return e.take();
}

xdr::Bytes encodeCall(std::uint32_t xid, std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                      xdr::ByteView args) {
    CallHeader h;
    h.xid = xid;
    h.prog = prog;
    h.vers = vers;
    h.proc = proc;
    return encodeCall(h, args);
}

ParsedCall parseCall(xdr::ByteView record) {
    ParsedCall out;
    xdr::Decoder d(record);
    std::uint32_t type = 0;
    if (!d.getUint(out.header.xid) || !d.getUint(type) ||
        type != static_cast<std::uint32_t>(MsgType::Call)) {
        out.status = ParsedCall::Status::NotACall;
        return out;
    }
    std::uint32_t rpcvers = 0;
    if (!d.getUint(rpcvers)) {
        out.status = ParsedCall::Status::NotACall;
        return out;
    }
    if (rpcvers != kRpcVersion) {
        out.status = ParsedCall::Status::RpcMismatch;
        return out;
    }
    if (!d.getUint(out.header.prog) || !d.getUint(out.header.vers) || !d.getUint(out.header.proc)) {
        // Too short to name a procedure: nothing sensible to answer.
        out.status = ParsedCall::Status::NotACall;
        return out;
    }
    if (!getAuth(d, out.header.cred) || !getAuth(d, out.header.verf)) {
        out.status = ParsedCall::Status::BadCredentials;
        return out;
    }
    out.args = d.rest();
    out.status = ParsedCall::Status::Ok;
    return out;
}

std::optional<std::uint32_t> peekXid(xdr::ByteView record) {
    if (record.size() < 4) {
        return std::nullopt;
    }
    return xdr::loadBe32(record.data());
}

xdr::Bytes encodeAcceptedReply(std::uint32_t xid, AcceptStat stat, xdr::ByteView results) {
    xdr::Encoder e = acceptedHeader(xid, stat);
    e.putRaw(results);
    return e.take();
}

xdr::Bytes encodeProgMismatch(std::uint32_t xid, std::uint32_t low, std::uint32_t high) {
    xdr::Encoder e = acceptedHeader(xid, AcceptStat::ProgMismatch);
    e.putUint(low);
    e.putUint(high);
    return e.take();
}

xdr::Bytes encodeRpcMismatch(std::uint32_t xid) {
    xdr::Encoder e;
    e.putUint(xid);
    e.putUint(static_cast<std::uint32_t>(MsgType::Reply));
    e.putUint(static_cast<std::uint32_t>(ReplyStat::Denied));
    e.putUint(static_cast<std::uint32_t>(RejectStat::RpcMismatch));
    e.putUint(kRpcVersion);
    e.putUint(kRpcVersion);
    return e.take();
}

xdr::Bytes encodeAuthError(std::uint32_t xid, AuthStat why) {
    xdr::Encoder e;
    e.putUint(xid);
    e.putUint(static_cast<std::uint32_t>(MsgType::Reply));
    e.putUint(static_cast<std::uint32_t>(ReplyStat::Denied));
    e.putUint(static_cast<std::uint32_t>(RejectStat::AuthError));
    e.putUint(static_cast<std::uint32_t>(why));
    return e.take();
}

std::optional<std::size_t> acceptedReplyHeaderSize(xdr::ByteView start) {
    xdr::Decoder d(start);
    std::uint32_t xid = 0, type = 0, stat = 0, flavor = 0, verifier = 0;
    if (!d.getUint(xid) || !d.getUint(type) || !d.getUint(stat) || !d.getUint(flavor) ||
        !d.getUint(verifier) || verifier > kMaxAuthBody) {
        return std::nullopt;
    }
    return kAcceptedReplyHeader + verifier + xdr::padding(verifier);
}

std::optional<Reply> decodeReply(xdr::ByteView record) {
    xdr::Decoder d(record);
    Reply r;
    std::uint32_t type = 0;
    std::uint32_t stat = 0;
    if (!d.getUint(r.xid) || !d.getUint(type) ||
        type != static_cast<std::uint32_t>(MsgType::Reply) || !d.getUint(stat)) {
        return std::nullopt;
    }
    if (stat == static_cast<std::uint32_t>(ReplyStat::Accepted)) {
        r.replyStat = ReplyStat::Accepted;
        std::uint32_t accept = 0;
        if (!getAuth(d, r.verf) || !d.getUint(accept) ||
            accept > static_cast<std::uint32_t>(AcceptStat::SystemErr)) {
            return std::nullopt;
        }
        r.acceptStat = static_cast<AcceptStat>(accept);
        if (r.acceptStat == AcceptStat::Success) {
            r.results = d.rest();
            return r;
        }
        if (r.acceptStat == AcceptStat::ProgMismatch &&
            (!d.getUint(r.mismatchLow) || !d.getUint(r.mismatchHigh))) {
            return std::nullopt;
        }
    } else if (stat == static_cast<std::uint32_t>(ReplyStat::Denied)) {
        r.replyStat = ReplyStat::Denied;
        std::uint32_t reject = 0;
        if (!d.getUint(reject)) {
            return std::nullopt;
        }
        if (reject == static_cast<std::uint32_t>(RejectStat::RpcMismatch)) {
            r.rejectStat = RejectStat::RpcMismatch;
            if (!d.getUint(r.mismatchLow) || !d.getUint(r.mismatchHigh)) {
                return std::nullopt;
            }
        } else if (reject == static_cast<std::uint32_t>(RejectStat::AuthError)) {
            r.rejectStat = RejectStat::AuthError;
            std::uint32_t why = 0;
            if (!d.getUint(why) || why > static_cast<std::uint32_t>(AuthStat::Failed)) {
                return std::nullopt;
            }
            r.authStat = static_cast<AuthStat>(why);
        } else {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (!d.atEnd()) {
        return std::nullopt;
    }
    return r;
}

} // namespace vxi11::rpc
