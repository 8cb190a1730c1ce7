#pragma once
// VXI-11 program numbers, procedure numbers, flags, read reasons and error codes, and the
// small structures shared by several message families.

#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/Xdr.h"

#include <cstdint>
#include <string_view>

namespace vxi11 {

constexpr std::uint32_t kDeviceCore = 0x0607AF;  ///< DEVICE_CORE
constexpr std::uint32_t kDeviceAsync = 0x0607B0; ///< DEVICE_ASYNC (abort channel)
constexpr std::uint32_t kDeviceIntr = 0x0607B1;  ///< DEVICE_INTR (served by the client)
constexpr std::uint32_t kDeviceVersion = 1;      ///< version of all three programs

/// Procedure numbers of DEVICE_CORE, DEVICE_ASYNC and DEVICE_INTR.
namespace proc {
constexpr std::uint32_t kNull = 0;
constexpr std::uint32_t kCreateLink = 10;
constexpr std::uint32_t kDeviceWrite = 11;
constexpr std::uint32_t kDeviceRead = 12;
constexpr std::uint32_t kDeviceReadStb = 13;
constexpr std::uint32_t kDeviceTrigger = 14;
constexpr std::uint32_t kDeviceClear = 15;
constexpr std::uint32_t kDeviceRemote = 16;
constexpr std::uint32_t kDeviceLocal = 17;
constexpr std::uint32_t kDeviceLock = 18;
constexpr std::uint32_t kDeviceUnlock = 19;
constexpr std::uint32_t kDeviceEnableSrq = 20;
constexpr std::uint32_t kDeviceDocmd = 22;
constexpr std::uint32_t kDestroyLink = 23;
constexpr std::uint32_t kCreateIntrChan = 25;
constexpr std::uint32_t kDestroyIntrChan = 26;
constexpr std::uint32_t kDeviceAbort = 1;
constexpr std::uint32_t kDeviceIntrSrq = 30;
} // namespace proc

/// Device_Flags bits.
namespace flags {
constexpr std::int32_t kWaitLock = 0x01;   ///< wait up to lock_timeout for a lock
constexpr std::int32_t kEnd = 0x08;        ///< device_write: END with the last byte
constexpr std::int32_t kTermChrSet = 0x80; ///< device_read: stop after termChar
} // namespace flags

/// device_read reason bits.
namespace reason {
constexpr std::int32_t kReqCnt = 0x01; ///< requestSize bytes transferred
constexpr std::int32_t kChr = 0x02;    ///< the termination character was transferred
constexpr std::int32_t kEnd = 0x04;    ///< END came with the last byte
} // namespace reason

/// Device_ErrorCode values.
namespace err {
constexpr std::int32_t kNoError = 0;
constexpr std::int32_t kSyntaxError = 1;
constexpr std::int32_t kDeviceNotAccessible = 3;
constexpr std::int32_t kInvalidLinkIdentifier = 4;
constexpr std::int32_t kParameterError = 5;
constexpr std::int32_t kChannelNotEstablished = 6;
constexpr std::int32_t kOperationNotSupported = 8;
constexpr std::int32_t kOutOfResources = 9;
constexpr std::int32_t kDeviceLockedByAnotherLink = 11;
constexpr std::int32_t kNoLockHeldByThisLink = 12;
constexpr std::int32_t kIoTimeout = 15;
constexpr std::int32_t kIoError = 17;
constexpr std::int32_t kInvalidAddress = 21;
constexpr std::int32_t kAbort = 23;
constexpr std::int32_t kChannelAlreadyEstablished = 29;
} // namespace err

/// Short English name of a VXI-11 error code ("I/O timeout"); "unknown error" otherwise.
std::string_view errorName(std::int32_t code);

/// Device_Link: a link id alone (destroy_link, device_unlock, device_abort).
struct DeviceLink {
    std::int32_t lid = 0;
    void encode(xdr::Encoder& e) const { e.putInt(lid); }
    static bool decode(xdr::Decoder& d, DeviceLink& v) { return d.getInt(v.lid); }
};

/// Device_Error: the result of the calls that return only an error code.
struct DeviceError {
    std::int32_t error = 0;
    void encode(xdr::Encoder& e) const { e.putInt(error); }
    static bool decode(xdr::Decoder& d, DeviceError& v) { return d.getInt(v.error); }
};

} // namespace vxi11
