#pragma once
// I/O messages of DEVICE_CORE: device_write, device_read, and the calls taking
// Device_GenericParms (readstb, trigger, clear, remote, local).

#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/Vxi11Types.h"

namespace vxi11 {

/// Device_WriteParms.
struct DeviceWriteParms {
    std::int32_t lid = 0;
    std::uint32_t ioTimeout = 0;   ///< ms
    std::uint32_t lockTimeout = 0; ///< ms
    std::int32_t flags = 0;        ///< waitlock, end
    xdr::Bytes data;

    void encode(xdr::Encoder& e) const {
        encodeHead(e, data.size());
        e.putFixedOpaque(data);
    }
    /// Everything before the data's bytes, for data of `dataLength` bytes sent from elsewhere
    /// (then the bytes and their padding follow).
    void encodeHead(xdr::Encoder& e, std::size_t dataLength) const {
        e.putInt(lid);
        e.putUint(ioTimeout);
        e.putUint(lockTimeout);
        e.putInt(flags);
        e.putUint(static_cast<std::uint32_t>(dataLength));
    }
    static bool decode(xdr::Decoder& d, DeviceWriteParms& v) {
        return d.getInt(v.lid) && d.getUint(v.ioTimeout) && d.getUint(v.lockTimeout) &&
               d.getInt(v.flags) && d.getOpaque(v.data);
    }
};

/// Device_WriteResp.
struct DeviceWriteResp {
    std::int32_t error = 0;
    std::uint32_t size = 0; ///< bytes accepted

    void encode(xdr::Encoder& e) const {
        e.putInt(error);
        e.putUint(size);
    }
    static bool decode(xdr::Decoder& d, DeviceWriteResp& v) {
        return d.getInt(v.error) && d.getUint(v.size);
    }
};

/// Device_ReadParms.
struct DeviceReadParms {
    std::int32_t lid = 0;
    std::uint32_t requestSize = 0;
    std::uint32_t ioTimeout = 0;   ///< ms
    std::uint32_t lockTimeout = 0; ///< ms
    std::int32_t flags = 0;        ///< waitlock, termchrset
    std::int32_t termChar = 0;     ///< RPCL char: the character is the low 8 bits

    void encode(xdr::Encoder& e) const {
        e.putInt(lid);
        e.putUint(requestSize);
        e.putUint(ioTimeout);
        e.putUint(lockTimeout);
        e.putInt(flags);
        e.putInt(termChar);
    }
    static bool decode(xdr::Decoder& d, DeviceReadParms& v) {
        return d.getInt(v.lid) && d.getUint(v.requestSize) && d.getUint(v.ioTimeout) &&
               d.getUint(v.lockTimeout) && d.getInt(v.flags) && d.getInt(v.termChar);
    }
};

/// Device_ReadResp.
struct DeviceReadResp {
    std::int32_t error = 0;
    std::int32_t reason = 0; ///< reason bits (REQCNT, CHR, END)
    xdr::Bytes data;

    void encode(xdr::Encoder& e) const {
        e.putInt(error);
        e.putInt(reason);
        e.putOpaque(data);
    }
    static bool decode(xdr::Decoder& d, DeviceReadResp& v) {
        return d.getInt(v.error) && d.getInt(v.reason) && d.getOpaque(v.data);
    }
};

/// Device_GenericParms. Note the order: lock_timeout comes before io_timeout here, the
/// reverse of the write, read and docmd parameters.
struct DeviceGenericParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lockTimeout = 0; ///< ms
    std::uint32_t ioTimeout = 0;   ///< ms

    void encode(xdr::Encoder& e) const {
        e.putInt(lid);
        e.putInt(flags);
        e.putUint(lockTimeout);
        e.putUint(ioTimeout);
    }
    static bool decode(xdr::Decoder& d, DeviceGenericParms& v) {
        return d.getInt(v.lid) && d.getInt(v.flags) && d.getUint(v.lockTimeout) &&
               d.getUint(v.ioTimeout);
    }
};

/// Device_ReadStbResp.
struct DeviceReadStbResp {
    std::int32_t error = 0;
    std::uint32_t stb = 0; ///< RPCL unsigned char: the status byte is the low 8 bits

    void encode(xdr::Encoder& e) const {
        e.putInt(error);
        e.putUint(stb);
    }
    static bool decode(xdr::Decoder& d, DeviceReadStbResp& v) {
        return d.getInt(v.error) && d.getUint(v.stb);
    }
};

using DeviceWrite =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceWrite, DeviceWriteParms, DeviceWriteResp>;
using DeviceRead =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceRead, DeviceReadParms, DeviceReadResp>;
using DeviceReadStb = Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceReadStb,
                                DeviceGenericParms, DeviceReadStbResp>;
using DeviceTrigger =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceTrigger, DeviceGenericParms, DeviceError>;
using DeviceClear =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceClear, DeviceGenericParms, DeviceError>;
using DeviceRemote =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceRemote, DeviceGenericParms, DeviceError>;
using DeviceLocal =
    Procedure<kDeviceCore, kDeviceVersion, proc::kDeviceLocal, DeviceGenericParms, DeviceError>;

} // namespace vxi11
