// Fuzzes every codec decoder on its own: the record reader, the call and reply headers, each
// message's strict round trip and the docmd element packing.
//
// Input: [decoder selector] the decoder's input...

#include "FuzzCheck.h"

#include "vxi11/codec/Messages.h"

#include <cstddef>
#include <cstdint>
#include <iterator>

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

void parseCallWithin(xdr::ByteView data) {
    const auto call = rpc::parseCall(data);
    if (call.status == rpc::ParsedCall::Status::Ok)
        FUZZ_CHECK(fuzz::within(call.args, data));
}

void decodeReplyWithin(xdr::ByteView data) {
    const auto reply = rpc::decodeReply(data);
    if (reply)
        FUZZ_CHECK(fuzz::within(reply->results, data));
}

void packElementsBack(xdr::ByteView data) {
    for (int width : {1, 2, 4})
        for (bool order : {true, false})
            if (const auto v = unpackElements(data, width, order))
                FUZZ_CHECK(packElements(*v, width, order) == xdr::Bytes(data.begin(), data.end()));
}

/// One row per decoder; the selector byte is the row's index, so the seeds name their decoder
/// by position: append new rows at the end.
constexpr void (*kDecoders[])(xdr::ByteView) = {
    feedRecords,
    parseCallWithin,
    decodeReplyWithin,
    decodeRoundTrip<CreateLinkParms>,
    decodeRoundTrip<CreateLinkResp>,
    decodeRoundTrip<DeviceWriteParms>,
    decodeRoundTrip<DeviceWriteResp>,
    decodeRoundTrip<DeviceReadParms>,
    decodeRoundTrip<DeviceReadResp>,
    decodeRoundTrip<DeviceGenericParms>,
    decodeRoundTrip<DeviceReadStbResp>,
    decodeRoundTrip<DeviceLockParms>,
    decodeRoundTrip<DeviceDocmdParms>,
    decodeRoundTrip<DeviceDocmdResp>,
    decodeRoundTrip<DeviceEnableSrqParms>,
    decodeRoundTrip<DeviceRemoteFunc>,
    decodeRoundTrip<DeviceSrqParms>,
    decodeRoundTrip<pmap::Mapping>,
    decodeRoundTrip<pmap::MappingList>,
    packElementsBack,
};

#ifdef SICLQUILL_FUZZ_SELECTORS
static_assert(std::size(kDecoders) == SICLQUILL_FUZZ_SELECTORS,
              "the replay test runs every seed through as many decoders as the table holds");
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0)
        return 0;
    kDecoders[bytes[0] % std::size(kDecoders)](xdr::ByteView(bytes + 1, size - 1));
    return 0;
}
