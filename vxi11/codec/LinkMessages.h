#pragma once
// Link messages of DEVICE_CORE: create_link and destroy_link.

#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/Vxi11Types.h"

#include <optional>
#include <string>
#include <string_view>

namespace vxi11 {

/// Longest device name a decoder accepts ("gpib0,30,30" needs 11).
constexpr std::uint32_t kMaxDeviceName = 256;

/// The device name of create_link for an interface and a GPIB address: "gpib0", "gpib0,7"
/// or "gpib0,7,5" (a secondary address only with a primary one).
inline std::string formatDeviceName(std::string_view interfaceName, std::optional<int> primary,
                                    std::optional<int> secondary) {
    std::string name(interfaceName);
    if (primary) {
        name += ',' + std::to_string(*primary);
        if (secondary) {
            name += ',' + std::to_string(*secondary);
        }
    }
    return name;
}

/// Create_LinkParms.
struct CreateLinkParms {
    std::int32_t clientId = 0;
    bool lockDevice = false;
    std::uint32_t lockTimeout = 0; ///< ms
    std::string device;            ///< "gpib0", "gpib0,5", "gpib0,5,2"

    void encode(xdr::Encoder& e) const {
        e.putInt(clientId);
        e.putBool(lockDevice);
        e.putUint(lockTimeout);
        e.putString(device);
    }
    static bool decode(xdr::Decoder& d, CreateLinkParms& v) {
        return d.getInt(v.clientId) && d.getBool(v.lockDevice) && d.getUint(v.lockTimeout) &&
               d.getString(v.device, kMaxDeviceName);
    }
};

/// Create_LinkResp.
struct CreateLinkResp {
    std::int32_t error = 0;
    std::int32_t lid = 0;
    std::uint32_t abortPort = 0;   ///< RPCL unsigned short, one XDR word on the wire
    std::uint32_t maxRecvSize = 0; ///< largest device_write data accepted

    void encode(xdr::Encoder& e) const {
        e.putInt(error);
        e.putInt(lid);
        e.putUint(abortPort);
        e.putUint(maxRecvSize);
    }
    static bool decode(xdr::Decoder& d, CreateLinkResp& v) {
        return d.getInt(v.error) && d.getInt(v.lid) && d.getUint(v.abortPort) &&
               d.getUint(v.maxRecvSize);
    }
};

using CreateLink =
    Procedure<kDeviceCore, kDeviceVersion, proc::kCreateLink, CreateLinkParms, CreateLinkResp>;
using DestroyLink =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDestroyLink, DeviceLink, DeviceError>;
using CoreNull = NullProc<kDeviceCore, kDeviceVersion>;

} // namespace vxi11
