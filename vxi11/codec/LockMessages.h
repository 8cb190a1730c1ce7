#pragma once
// Lock messages of DEVICE_CORE: device_lock and device_unlock.

#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/Vxi11Types.h"

namespace vxi11 {

/// Device_LockParms.
struct DeviceLockParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;        ///< only waitlock matters
    std::uint32_t lockTimeout = 0; ///< ms

    void encode(xdr::Encoder& e) const {
        e.putInt(lid);
        e.putInt(flags);
        e.putUint(lockTimeout);
    }
    static bool decode(xdr::Decoder& d, DeviceLockParms& v) {
        return d.getInt(v.lid) && d.getInt(v.flags) && d.getUint(v.lockTimeout);
    }
};

using DeviceLock =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceLock, DeviceLockParms, DeviceError>;
using DeviceUnlock =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceUnlock, DeviceLink, DeviceError>;

} // namespace vxi11
