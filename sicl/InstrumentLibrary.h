#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sicl {

/// A 16-bit session id as the library hands it out; 0 means "no session".
using SessionId = std::int16_t;

/// Size of the error text buffer that vb_igeterrstr fills: 59 characters and a NUL.
inline constexpr std::size_t kErrorTextBufferSize = 60;

/// The requests of vb_igpibbusstatus. A line reads non-zero while it is asserted.
namespace busstatus {
inline constexpr std::int16_t kRen = 1;  ///< the REN (remote enable) line
inline constexpr std::int16_t kSrq = 2;  ///< the SRQ (service request) line
inline constexpr std::int16_t kNdac = 3; ///< the NDAC (not data accepted) line
/// Requests that not every gateway answers.
inline constexpr std::int16_t kSystemController = 4;   ///< the interface is system controller
inline constexpr std::int16_t kControllerInCharge = 5; ///< the interface is controller in charge
inline constexpr std::int16_t kTalker = 6;             ///< the interface is addressed to talk
inline constexpr std::int16_t kListener = 7;           ///< the interface is addressed to listen
inline constexpr std::int16_t kBusAddress = 8;         ///< the interface's own GPIB address
} // namespace busstatus

/// Why a read ended: the bits of vb_iread's `reason`.
namespace reason {
inline constexpr std::int32_t kReqCnt = 1; ///< the requested count was read
inline constexpr std::int32_t kChr = 2;    ///< the termination character came (see vb_itermchr)
inline constexpr std::int32_t kEnd = 4;    ///< END came with the last byte: the message is whole
/// Before this read the session dropped what an earlier exchange left unfinished (an answer
/// that came too late, the rest of a read that timed out): what this read returns is newer.
inline constexpr std::int32_t kResync = 8;
} // namespace reason

/// RQS in a status byte (vb_ireadstb): the device requests service.
inline constexpr std::int16_t kStatusRqs = 0x40;

/// The entries of the instrument library that the program calls.
///
/// Every entry other than vb_iopen, vb_igeterrno and vb_igeterrstr returns 0 on success and
/// non-zero on failure; after a failure vb_igeterrno tells the error. Text travels as 8-bit
/// bytes (Latin-1 in this program), so any byte value, NUL included, can pass.
class InstrumentLibrary {
public:
    virtual ~InstrumentLibrary() = default;

    /// Opens a session at a library address; returns its id, or 0 on failure.
    virtual std::int16_t vb_iopen(const std::string& address) = 0;
    /// Ends a session.
    virtual std::int16_t vb_iclose(SessionId id) = 0;
    /// Writes `datalen` bytes of `buf`, with END on the last byte when `endi` is 1.
    virtual std::int16_t vb_iwrite(std::int32_t one, SessionId id, std::string_view buf,
                                   std::int32_t datalen, std::int16_t endi,
                                   std::int32_t& actual) = 0;
    /// Reads at most `bufsize` bytes into the start of `buf`; bytes beyond what was received
    /// keep their old value and nothing is written past `buf.size()`.
    virtual std::int16_t vb_iread(std::int32_t one, SessionId id, std::string& buf,
                                  std::int32_t bufsize, std::int32_t& reason,
                                  std::int32_t& actual) = 0;
    /// Sets the character at which later reads end.
    virtual std::int16_t vb_itermchr(SessionId id, std::int16_t tchr) = 0;
    /// Device clear on a device session; interface clear (IFC) on an interface session.
    virtual std::int16_t vb_iclear(SessionId id) = 0;
    /// Serial poll: the device's status byte.
    virtual std::int16_t vb_ireadstb(SessionId id, std::int16_t& stb) = 0;
    /// Device trigger.
    virtual std::int16_t vb_itrigger(SessionId id) = 0;
    /// Puts the device into remote mode.
    virtual std::int16_t vb_iremote(SessionId id) = 0;
    /// Returns the device to local mode.
    virtual std::int16_t vb_ilocal(SessionId id) = 0;
    /// Locks the device for this session.
    virtual std::int16_t vb_ilock(SessionId id) = 0;
    /// Takes a shared lock under `key`: sessions with the same key share the device, others
    /// wait as for an exclusive lock. Only transports with shared locks have it.
    virtual std::int16_t vb_ilockshared(SessionId id, const std::string& key) = 0;
    /// Releases this session's lock.
    virtual std::int16_t vb_iunlock(SessionId id) = 0;
    /// Sets the session's time-out in milliseconds; 0 means none.
    virtual std::int16_t vb_itimeout(SessionId id, std::int32_t tval) = 0;
    /// Bus status: the answer to one of the busstatus requests.
    virtual std::int16_t vb_igpibbusstatus(SessionId id, std::int16_t request,
                                           std::int16_t& result) = 0;
    /// Asserts (1) or releases (0) REN.
    virtual std::int16_t vb_igpibrenctl(SessionId id, std::int16_t value) = 0;
    /// Asserts (1) or releases (0) ATN.
    virtual std::int16_t vb_igpibatnctl(SessionId id, std::int16_t value) = 0;
    /// Sends `length` bytes of `cmdstr` as bus commands (with ATN asserted).
    virtual std::int16_t vb_igpibsendcmd(SessionId id, const std::string& cmdstr,
                                         std::int32_t length) = 0;
    /// Waits up to `waitMs` milliseconds (0: without limit) for a service request: of the
    /// session's device, or on an interface session of any device on the bus. 0 when one
    /// came; a time-out is the library's I/O time-out error.
    virtual std::int16_t vb_iwaitsrq(SessionId id, std::int32_t waitMs) = 0;
    /// Number of the calling thread's last error, 0 if none.
    virtual std::int16_t vb_igeterrno() = 0;
    /// Writes the NUL-terminated text of error `errnum` into `buf` (kErrorTextBufferSize bytes).
    virtual std::int16_t vb_igeterrstr(std::int16_t errnum, char* buf) = 0;
};

} // namespace sicl
