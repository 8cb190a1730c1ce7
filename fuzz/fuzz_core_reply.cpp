// Fuzzes what the client decodes from a gateway on the core and abort channels: the RPC reply
// header, then the results of the call it made (create_link, device_write, device_read,
// device_readstb, device_docmd, and the calls that return only an error code), decoded as the
// client does (bytes after a complete result tolerated) and the docmd bus status answer unpacked.
//
// Input: [result selector] reply record...

#include "ReplyCheck.h"

#include "vxi11/codec/Messages.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vxi11;
    if (size < 1)
        return 0;
    const auto results = fuzz::decodeAndCheckReply(xdr::ByteView(data + 1, size - 1));
    if (!results)
        return 0;
    switch (data[0] % 6) {
    case 0:
        fuzz::checkTolerantRoundTrip<CreateLinkResp>(*results);
        break;
    case 1: // destroy_link, trigger, clear, lock, unlock, remote, local, device_abort
        fuzz::checkTolerantRoundTrip<DeviceError>(*results);
        break;
    case 2:
        fuzz::checkTolerantRoundTrip<DeviceWriteResp>(*results);
        break;
    case 3:
        fuzz::checkTolerantRoundTrip<DeviceReadResp>(*results);
        break;
    case 4:
        fuzz::checkTolerantRoundTrip<DeviceReadStbResp>(*results);
        break;
    case 5:
        if (fuzz::checkTolerantRoundTrip<DeviceDocmdResp>(*results)) {
            // The bus status answer: one 16-bit element in network order.
            const auto resp = xdr::decodeAll<DeviceDocmdResp>(*results, true);
            const auto values = unpackElements(resp->dataOut, 2, true);
            FUZZ_CHECK(values.has_value() == (resp->dataOut.size() % 2 == 0));
            if (values)
                FUZZ_CHECK(values->size() == resp->dataOut.size() / 2);
        }
        break;
    }
    return 0;
}
