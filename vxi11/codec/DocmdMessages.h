#pragma once
// device_docmd and the IEEE 488.1 gateway commands it carries.

#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/Vxi11Types.h"

#include <optional>
#include <span>
#include <vector>

namespace vxi11 {

/// docmd command codes of a TCP/IP-IEEE 488.1 gateway.
namespace docmd {
constexpr std::int32_t kSendCommand = 0x020000; ///< bytes with ATN asserted (datasize 1)
constexpr std::int32_t kBusStatus = 0x020001;   ///< 16-bit request code, 16-bit answer
constexpr std::int32_t kAtnControl = 0x020002;  ///< 16-bit: non-zero asserts ATN
constexpr std::int32_t kRenControl = 0x020003;  ///< 16-bit: non-zero asserts REN
constexpr std::int32_t kPassControl = 0x020004; ///< 32-bit address of the new controller
constexpr std::int32_t kBusAddress = 0x02000A;  ///< 32-bit: the interface's own address
constexpr std::int32_t kIfcControl = 0x020010;  ///< pulse IFC, no data
/// Longest send-command data accepted.
constexpr std::uint32_t kMaxSendCommand = 128;
} // namespace docmd

/// Bus status request codes.
namespace busstatus {
constexpr std::uint32_t kRemote = 1;
constexpr std::uint32_t kSrq = 2;
constexpr std::uint32_t kNdac = 3;
constexpr std::uint32_t kSystemController = 4;
constexpr std::uint32_t kControllerInCharge = 5;
constexpr std::uint32_t kTalker = 6;
constexpr std::uint32_t kListener = 7;
constexpr std::uint32_t kBusAddress = 8;
} // namespace busstatus

/// Device_DocmdParms.
struct DeviceDocmdParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t ioTimeout = 0;   ///< ms
    std::uint32_t lockTimeout = 0; ///< ms
    std::int32_t cmd = 0;
    bool networkOrder = true;  ///< TRUE: data_in elements are big-endian
    std::int32_t datasize = 0; ///< bytes per element of data_in
    xdr::Bytes dataIn;

    void encode(xdr::Encoder& e) const {
        e.putInt(lid);
        e.putInt(flags);
        e.putUint(ioTimeout);
        e.putUint(lockTimeout);
        e.putInt(cmd);
        e.putBool(networkOrder);
        e.putInt(datasize);
        e.putOpaque(dataIn);
    }
    static bool decode(xdr::Decoder& d, DeviceDocmdParms& v) {
        return d.getInt(v.lid) && d.getInt(v.flags) && d.getUint(v.ioTimeout) &&
               d.getUint(v.lockTimeout) && d.getInt(v.cmd) && d.getBool(v.networkOrder) &&
               d.getInt(v.datasize) && d.getOpaque(v.dataIn);
    }
};

/// Device_DocmdResp.
struct DeviceDocmdResp {
    std::int32_t error = 0;
    xdr::Bytes dataOut;

    void encode(xdr::Encoder& e) const {
        e.putInt(error);
        e.putOpaque(dataOut);
    }
    static bool decode(xdr::Decoder& d, DeviceDocmdResp& v) {
        return d.getInt(v.error) && d.getOpaque(v.dataOut);
    }
};

/// Packs values as docmd elements of `datasize` bytes (1, 2 or 4) in the byte order that
/// `networkOrder` names (true: big-endian, false: little-endian). Values are truncated to
/// the element size.
xdr::Bytes packElements(std::span<const std::uint32_t> values, int datasize, bool networkOrder);
/// Unpacks docmd elements; nothing if datasize is not 1, 2 or 4 or the bytes are not a whole
/// number of elements.
std::optional<std::vector<std::uint32_t>> unpackElements(xdr::ByteView data, int datasize,
                                                         bool networkOrder);

using DeviceDocmd =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceDocmd, DeviceDocmdParms, DeviceDocmdResp>;

} // namespace vxi11
