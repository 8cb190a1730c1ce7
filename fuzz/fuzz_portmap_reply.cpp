// Fuzzes what the client (and the simulator, when it registers with a system portmapper)
// decodes from a portmapper: the RPC reply header, then GETPORT's port, SET/UNSET's bool or
// DUMP's list of mappings.
//
// Input: [result selector] reply record...

#include "ReplyCheck.h"

#include "vxi11/codec/Portmap.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vxi11;
    if (size < 1)
        return 0;
    const auto results = fuzz::decodeAndCheckReply(xdr::ByteView(data + 1, size - 1));
    if (!results)
        return 0;
    switch (data[0] % 3) {
    case 0:
        fuzz::checkTolerantRoundTrip<pmap::PortResult>(*results);
        break;
    case 1:
        fuzz::checkTolerantRoundTrip<pmap::BoolResult>(*results);
        break;
    case 2:
        if (fuzz::checkStrictRoundTrip<pmap::MappingList>(*results))
            FUZZ_CHECK(xdr::decodeAll<pmap::MappingList>(*results)->entries.size() <=
                       pmap::MappingList::kMaxEntries);
        break;
    }
    return 0;
}
