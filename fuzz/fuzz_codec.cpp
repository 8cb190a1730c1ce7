// Fuzzes every codec decoder on its own: the record reader, the call and reply headers, each
// message's strict round trip and the docmd element packing.
//
// Input: [decoder selector] the decoder's input...

#include "FuzzCheck.h"

#include "vxi11/codec/Messages.h"

#include <cstddef>
#include <cstdint>

using namespace vxi11;

namespace {

template <typename T>
void decodeRoundTrip(xdr::ByteView data) {
    // Whatever decodes must encode back to the same bytes (strict decoding, canonical XDR).
    const auto value = xdr::decodeAll<T>(data);
    if (value)
        FUZZ_CHECK(xdr::encodeAll(*value) == xdr::Bytes(data.begin(), data.end()));
    xdr::decodeAll<T>(data, true);
}

void feedRecords(xdr::ByteView data) {
    rpc::RecordReader reader(4096, 16);
    while (!data.empty()) {
        const auto r = reader.feed(data);
        if (r.status == rpc::RecordReader::Status::Malformed)
            return;
        if (r.status == rpc::RecordReader::Status::Complete) {
            const xdr::Bytes record = reader.takeRecord();
            FUZZ_CHECK(record.size() <= 4096);
        }
        // Progress on every non-empty input.
        FUZZ_CHECK(r.consumed > 0 || r.status == rpc::RecordReader::Status::Complete);
        data = data.subspan(r.consumed);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0)
        return 0;
    const xdr::ByteView data(bytes + 1, size - 1);
    switch (bytes[0] % 20) {
    case 0:
        feedRecords(data);
        break;
    case 1: {
        const auto call = rpc::parseCall(data);
        if (call.status == rpc::ParsedCall::Status::Ok)
            FUZZ_CHECK(fuzz::within(call.args, data));
        break;
    }
    case 2: {
        const auto reply = rpc::decodeReply(data);
        if (reply)
            FUZZ_CHECK(fuzz::within(reply->results, data));
        break;
    }
    case 3:
        decodeRoundTrip<CreateLinkParms>(data);
        break;
    case 4:
        decodeRoundTrip<CreateLinkResp>(data);
        break;
    case 5:
        decodeRoundTrip<DeviceWriteParms>(data);
        break;
    case 6:
        decodeRoundTrip<DeviceWriteResp>(data);
        break;
    case 7:
        decodeRoundTrip<DeviceReadParms>(data);
        break;
    case 8:
        decodeRoundTrip<DeviceReadResp>(data);
        break;
    case 9:
        decodeRoundTrip<DeviceGenericParms>(data);
        break;
    case 10:
        decodeRoundTrip<DeviceReadStbResp>(data);
        break;
    case 11:
        decodeRoundTrip<DeviceLockParms>(data);
        break;
    case 12:
        decodeRoundTrip<DeviceDocmdParms>(data);
        break;
    case 13:
        decodeRoundTrip<DeviceDocmdResp>(data);
        break;
    case 14:
        decodeRoundTrip<DeviceEnableSrqParms>(data);
        break;
    case 15:
        decodeRoundTrip<DeviceRemoteFunc>(data);
        break;
    case 16:
        decodeRoundTrip<DeviceSrqParms>(data);
        break;
    case 17:
        decodeRoundTrip<pmap::Mapping>(data);
        break;
    case 18:
        decodeRoundTrip<pmap::MappingList>(data);
        break;
    case 19:
        for (int width : {1, 2, 4})
            for (bool order : {true, false})
                if (const auto v = unpackElements(data, width, order))
                    FUZZ_CHECK(packElements(*v, width, order) ==
                               xdr::Bytes(data.begin(), data.end()));
        break;
    }
    return 0;
}
