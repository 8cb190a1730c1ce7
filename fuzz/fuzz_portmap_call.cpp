// Fuzzes what the simulator's portmapper decodes from a client (over TCP after record marking,
// or one UDP datagram as it is): the call header and the arguments of NULL, SET, UNSET,
// GETPORT and DUMP.
//
// Input: one call record or datagram.

#include "CallCheck.h"

#include "vxi11/codec/Portmap.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vxi11;
    const xdr::ByteView record(data, size);
    const rpc::ParsedCall call = fuzz::parseAndCheckCall(record);
    if (call.status != rpc::ParsedCall::Status::Ok || call.header.prog != pmap::kProgram)
        return 0;
    switch (call.header.proc) {
    case pmap::Null::proc:
    case pmap::Dump::proc:
        fuzz::checkStrictRoundTrip<Void>(call.args);
        break;
    case pmap::Set::proc:
    case pmap::Unset::proc:
    case pmap::GetPort::proc:
        if (fuzz::checkStrictRoundTrip<pmap::Mapping>(call.args))
            FUZZ_CHECK(call.args.size() == 16);
        break;
    default:
        break;
    }
    return 0;
}
