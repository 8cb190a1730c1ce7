// Fuzzes what the simulator decodes from a client on the core and abort channels: the RPC call
// header, then the arguments of the procedure it names. Whatever decodes must be the one
// canonical encoding of its value (strict decoders), and docmd data that unpacks must pack back
// to the same bytes.
//
// Input: one call record (without record marking).

#include "CallCheck.h"

#include "vxi11/codec/Messages.h"

#include <cstddef>
#include <cstdint>

namespace {

using namespace vxi11;

void checkDocmd(xdr::ByteView args) {
    const auto parms = xdr::decodeAll<DeviceDocmdParms>(args);
    if (!parms)
        return;
    FUZZ_CHECK(xdr::encodeAll(*parms) == xdr::Bytes(args.begin(), args.end()));
    const auto values = unpackElements(parms->dataIn, parms->datasize, parms->networkOrder);
    const bool wellSized = (parms->datasize == 1 || parms->datasize == 2 || parms->datasize == 4) &&
                           parms->dataIn.size() % static_cast<std::size_t>(parms->datasize) == 0;
    FUZZ_CHECK(values.has_value() == wellSized);
    if (values)
        FUZZ_CHECK(packElements(*values, parms->datasize, parms->networkOrder) == parms->dataIn);
}

void checkCoreArgs(std::uint32_t procedure, xdr::ByteView args) {
    switch (procedure) {
    case proc::kNull:
        fuzz::checkStrictRoundTrip<Void>(args);
        break;
    case proc::kCreateLink:
        if (fuzz::checkStrictRoundTrip<CreateLinkParms>(args))
            FUZZ_CHECK(xdr::decodeAll<CreateLinkParms>(args)->device.size() <= kMaxDeviceName);
        break;
    case proc::kDeviceWrite:
        fuzz::checkStrictRoundTrip<DeviceWriteParms>(args);
        break;
    case proc::kDeviceRead:
        fuzz::checkStrictRoundTrip<DeviceReadParms>(args);
        break;
    case proc::kDeviceReadStb:
    case proc::kDeviceTrigger:
    case proc::kDeviceClear:
    case proc::kDeviceRemote:
    case proc::kDeviceLocal:
        fuzz::checkStrictRoundTrip<DeviceGenericParms>(args);
        break;
    case proc::kDeviceLock:
        fuzz::checkStrictRoundTrip<DeviceLockParms>(args);
        break;
    case proc::kDeviceUnlock:
    case proc::kDestroyLink:
        fuzz::checkStrictRoundTrip<DeviceLink>(args);
        break;
    case proc::kDeviceEnableSrq:
        if (fuzz::checkStrictRoundTrip<DeviceEnableSrqParms>(args))
            FUZZ_CHECK(xdr::decodeAll<DeviceEnableSrqParms>(args)->handle.size() <= kMaxSrqHandle);
        break;
    case proc::kDeviceDocmd:
        checkDocmd(args);
        break;
    case proc::kCreateIntrChan:
        fuzz::checkStrictRoundTrip<DeviceRemoteFunc>(args);
        break;
    case proc::kDestroyIntrChan:
        fuzz::checkStrictRoundTrip<Void>(args);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const xdr::ByteView record(data, size);
    const rpc::ParsedCall call = fuzz::parseAndCheckCall(record);
    if (call.status != rpc::ParsedCall::Status::Ok)
        return 0;
    if (call.header.prog == kDeviceCore)
        checkCoreArgs(call.header.proc, call.args);
    else if (call.header.prog == kDeviceAsync && call.header.proc == proc::kDeviceAbort)
        fuzz::checkStrictRoundTrip<DeviceLink>(call.args);
    else if (call.header.prog == kDeviceIntr && call.header.proc == proc::kDeviceIntrSrq)
        fuzz::checkStrictRoundTrip<DeviceSrqParms>(call.args);
    return 0;
}
