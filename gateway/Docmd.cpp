#include "gateway/Docmd.h"

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

void runDocmd(Bus& bus, const DeviceDocmdParms& a, DeviceDocmdResp& r) {
    const auto now = Clock::now();
    switch (a.cmd) {
    case docmd::kSendCommand:
        if (a.datasize != kByteElement || a.dataIn.size() > docmd::kMaxSendCommand) {
            r.error = err::kParameterError;
            break;
        }
        bus.sendCommand(
            std::string_view(reinterpret_cast<const char*>(a.dataIn.data()), a.dataIn.size()), now);
        r.dataOut = a.dataIn;
        break;
    case docmd::kBusStatus: {
        const auto request = single(a, kWordElement);
        const auto value = request ? bus.status(*request, now) : std::nullopt;
        if (!value) {
            r.error = err::kParameterError;
        } else {
            answer(a, r, *value, kWordElement);
        }
        break;
    }
    case docmd::kAtnControl:
    case docmd::kRenControl: {
        const auto value = single(a, kWordElement);
        if (!value) {
            r.error = err::kParameterError;
            break;
        }
        if (a.cmd == docmd::kAtnControl) {
            bus.setAtn(*value != 0);
        } else {
            bus.setRen(*value != 0);
        }
        answer(a, r, *value, kWordElement);
        break;
    }
    case docmd::kBusAddress: {
        const auto value = single(a, kLongElement);
        if (!value || !bus.setBusAddress(*value)) {
            r.error = err::kParameterError;
            break;
        }
        answer(a, r, *value, kLongElement);
        break;
    }
    case docmd::kIfcControl:
        bus.ifc();
        break;
    default:
        // Pass control included: simulated instruments cannot take control.
        r.error = err::kOperationNotSupported;
        break;
    }
}

} // namespace gateway
