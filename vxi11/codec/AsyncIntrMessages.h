#pragma once
// Abort channel (DEVICE_ASYNC), the interrupt channel set-up on DEVICE_CORE
// (create_intr_chan, destroy_intr_chan, device_enable_srq) and DEVICE_INTR's device_intr_srq.

#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/Vxi11Types.h"

namespace vxi11 {

/// Longest handle of device_enable_srq.
constexpr std::uint32_t kMaxSrqHandle = 40;

/// Device_AddrFamily.
enum class DeviceAddrFamily : std::int32_t { Tcp = 0, Udp = 1 };

/// Device_RemoteFunc (create_intr_chan).
struct DeviceRemoteFunc {
    std::uint32_t hostAddr = 0; ///< IPv4 address as a number: 192.168.1.10 is 0xC0A8010A
    std::uint32_t hostPort = 0; ///< RPCL unsigned short, one XDR word on the wire
    std::uint32_t progNum = kDeviceIntr;
    std::uint32_t progVers = kDeviceVersion;
    DeviceAddrFamily progFamily = DeviceAddrFamily::Tcp;

    void encode(xdr::Encoder& e) const {
        e.putUint(hostAddr);
        e.putUint(hostPort);
        e.putUint(progNum);
        e.putUint(progVers);
        e.putInt(static_cast<std::int32_t>(progFamily));
    }
    static bool decode(xdr::Decoder& d, DeviceRemoteFunc& v) {
        std::int32_t family = 0;
        if (!(d.getUint(v.hostAddr) && d.getUint(v.hostPort) && d.getUint(v.progNum) &&
              d.getUint(v.progVers) && d.getInt(family))) {
            return false;
        }
        if (family != 0 && family != 1) {
            d.fail();
            return false;
        }
        v.progFamily = static_cast<DeviceAddrFamily>(family);
        return true;
    }
};

/// Device_EnableSrqParms.
struct DeviceEnableSrqParms {
    std::int32_t lid = 0;
    bool enable = false;
    xdr::Bytes handle; ///< at most 40 bytes, echoed in device_intr_srq

    void encode(xdr::Encoder& e) const {
        e.putInt(lid);
        e.putBool(enable);
        e.putOpaque(handle);
    }
    static bool decode(xdr::Decoder& d, DeviceEnableSrqParms& v) {
        return d.getInt(v.lid) && d.getBool(v.enable) && d.getOpaque(v.handle, kMaxSrqHandle);
    }
};

/// Device_SrqParms (device_intr_srq).
struct DeviceSrqParms {
    xdr::Bytes handle;

    void encode(xdr::Encoder& e) const { e.putOpaque(handle); }
    static bool decode(xdr::Decoder& d, DeviceSrqParms& v) {
        return d.getOpaque(v.handle, kMaxSrqHandle);
    }
};

using DeviceAbort =
    Procedure<kDeviceAsync, kDeviceVersion, proc::kDeviceAbort, DeviceLink, DeviceError>;
using AsyncNull = NullProc<kDeviceAsync, kDeviceVersion>;
using CreateIntrChan =
    Procedure<kDeviceCore, kDeviceVersion, proc::kCreateIntrChan, DeviceRemoteFunc, DeviceError>;
using DestroyIntrChan =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDestroyIntrChan, Void, DeviceError>;
using DeviceEnableSrq = Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceEnableSrq,
                                  DeviceEnableSrqParms, DeviceError>;
using DeviceIntrSrq =
    Procedure<kDeviceIntr, kDeviceVersion, proc::kDeviceIntrSrq, DeviceSrqParms, Void>;

} // namespace vxi11
