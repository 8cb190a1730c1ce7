#pragma once
// The server side of every call target: parse the record as the simulator does and check what
// a valid header promises (the arguments are the rest of the record; the header re-encodes to
// the same bytes).

#include "FuzzCheck.h"

#include "vxi11/codec/Rpc.h"

namespace fuzz {

inline vxi11::rpc::ParsedCall parseAndCheckCall(vxi11::xdr::ByteView record) {
    const vxi11::rpc::ParsedCall call = vxi11::rpc::parseCall(record);
    if (call.status == vxi11::rpc::ParsedCall::Status::Ok) {
        FUZZ_CHECK(within(call.args, record));
        FUZZ_CHECK(record.size() >= 40 && call.args.size() <= record.size() - 40);
        FUZZ_CHECK(call.header.cred.body.size() <= vxi11::rpc::kMaxAuthBody);
        FUZZ_CHECK(call.header.verf.body.size() <= vxi11::rpc::kMaxAuthBody);
        const vxi11::xdr::Bytes again = vxi11::rpc::encodeCall(call.header, call.args);
        FUZZ_CHECK(again == vxi11::xdr::Bytes(record.begin(), record.end()));
    }
    if (call.status != vxi11::rpc::ParsedCall::Status::NotACall)
        FUZZ_CHECK(vxi11::rpc::peekXid(record) == call.header.xid);
    return call;
}

} // namespace fuzz
