#include "gateway/vxi11/Docmd.h"

#include "gateway/vxi11/CoreService.h"

#include <optional>
#include <string_view>

namespace gateway {

using namespace vxi11;

namespace {

/// docmd element sizes: bytes of a command string, a 16-bit word, a 32-bit word.
constexpr int kByteElement = 1;
constexpr int kWordElement = 2;
constexpr int kLongElement = 4;

/// One docmd element of `size` bytes in the client's byte order, if that is what came.
std::optional<std::uint32_t> single(const DeviceDocmdParms& a, int size) {
    if (a.datasize != size) {
        return std::nullopt;
    }
    const auto v = unpackElements(a.dataIn, a.datasize, a.networkOrder);
    if (!v || v->size() != 1) {
        return std::nullopt;
    }
    return v->front();
}

/// Sets data_out to one element of `size` bytes in the client's byte order.
void answer(const DeviceDocmdParms& a, DeviceDocmdResp& r, std::uint32_t value, int size) {
    const std::uint32_t one[] = {value};
    r.dataOut = packElements(one, size, a.networkOrder);
}

} // namespace

namespace {

/// Runs one gateway command; the bus's answer, with `r`'s data filled on success.
BusStatus carryOut(BusTurn& turn, const DeviceDocmdParms& a, DeviceDocmdResp& r) {
    switch (a.cmd) {
    case docmd::kSendCommand:
        if (a.datasize != kByteElement || a.dataIn.size() > docmd::kMaxSendCommand) {
            return BusStatus::BadParameter;
        }
        r.dataOut = a.dataIn;
        return turn.sendCommand(a.dataIn);
    case docmd::kBusStatus: {
        const auto request = single(a, kWordElement);
        std::uint16_t value = 0;
        const BusStatus got = request ? turn.busStatus(*request, value) : BusStatus::BadParameter;
        if (got == BusStatus::Done) {
            answer(a, r, value, kWordElement);
        }
        return got;
    }
    case docmd::kAtnControl:
    case docmd::kRenControl: {
        const auto value = single(a, kWordElement);
        if (!value) {
            return BusStatus::BadParameter;
        }
        answer(a, r, *value, kWordElement);
        return a.cmd == docmd::kAtnControl ? turn.setAtn(*value != 0) : turn.setRen(*value != 0);
    }
    case docmd::kBusAddress: {
        const auto value = single(a, kLongElement);
        if (!value) {
            return BusStatus::BadParameter;
        }
        answer(a, r, *value, kLongElement);
        return turn.setBusAddress(*value);
    }
    case docmd::kIfcControl:
        return turn.ifc();
    default:
        // Pass control included: no bus here hands control to another controller.
        return BusStatus::NotSupported;
    }
}

} // namespace

bool runDocmd(BusTurn& turn, const DeviceDocmdParms& a, DeviceDocmdResp& r) {
    const auto error = vxi11Error(carryOut(turn, a, r), err::kIoTimeout);
    if (!error) {
        return false;
    }
    r.error = *error;
    if (r.error != err::kNoError) {
        r.dataOut.clear();
    }
    return true;
}

} // namespace gateway
