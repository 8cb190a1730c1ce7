#pragma once

#include "net/TransportError.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace library {

/// Error numbers of the instrument library.
///
/// Errors the gateway reports keep their VXI-11 numbers (1-29). Failures found on this side
/// use 100 and up, a range the VXI-11 error field never uses, so the two cannot be confused.
namespace liberr {
// Reported by the gateway (the VXI-11 `error` field).
inline constexpr int kSyntax = 1;
inline constexpr int kDeviceNotAccessible = 3;
inline constexpr int kInvalidLinkId = 4;
inline constexpr int kParameter = 5;
inline constexpr int kChannelNotEstablished = 6;
inline constexpr int kNotSupported = 8;
inline constexpr int kOutOfResources = 9;
inline constexpr int kLockedByAnother = 11;
inline constexpr int kNoLockHeld = 12;
inline constexpr int kIoTimeout = 15;
inline constexpr int kIoError = 17;
inline constexpr int kInvalidAddress = 21;
inline constexpr int kAborted = 23;
inline constexpr int kChannelAlreadyEstablished = 29;

// Found on this side.
inline constexpr int kBadAddressSyntax = 100;
inline constexpr int kAddressOutOfRange = 101;
inline constexpr int kHostNotFound = 102;
inline constexpr int kConnectionRefused = 103;
inline constexpr int kConnectionLost = 104;
inline constexpr int kMalformedReply = 105;
inline constexpr int kGatewayTimeout = 106;
inline constexpr int kUnknownSession = 107;
inline constexpr int kNeedsInterfaceSession = 108;
inline constexpr int kNeedsDeviceSession = 109;
inline constexpr int kCallRefused = 110;
inline constexpr int kNoVxi11Service = 111;
inline constexpr int kNetwork = 112;
inline constexpr int kInvalidArgument = 113;
inline constexpr int kTooManySessions = 114;
inline constexpr int kUnknownGatewayError = 115;
inline constexpr int kShortWrite = 116;
inline constexpr int kOutOfMemory = 117;
inline constexpr int kBadDeviceName = 118;
inline constexpr int kInterrupted = 119;
// HiSLIP (125-134).
inline constexpr int kServerError = 125;      ///< the server's Error message, its text as detail
inline constexpr int kServerFatalError = 126; ///< the server's FatalError; the session is closed
inline constexpr int kBadServerMessage = 127; ///< a message that breaks the protocol; closed
inline constexpr int kLockAlreadyHeld = 128;  ///< a lock request answered "already held"
// Raw SCPI sockets.
inline constexpr int kBadStatusReply = 135;
} // namespace liberr

/// Longest error text the library hands out (the caller's buffer holds it and a NUL).
inline constexpr std::size_t kMaxErrorText = 59;

/// Who is at the far end of a session, as error texts name it: VXI-11 reaches a device
/// through a gateway and its links; HiSLIP and a raw socket talk to a LAN instrument itself.
enum class FarEnd { Gateway, Instrument };

/// The fixed text of an error number, or nullptr when the table has no such number.
const char* errorTableText(int number, FarEnd end = FarEnd::Gateway) noexcept;

/// The text of an error number: the table's text, or "unknown error N" (never empty).
std::string errorText(int number, FarEnd end = FarEnd::Gateway);

/// Joins the table text of `number` and a detail ("host not found: gatewayx"), shortened to
/// kMaxErrorText characters at a word's end; an empty detail gives the bare table text.
std::string errorTextWithDetail(int number, std::string_view detail, FarEnd end = FarEnd::Gateway);

/// A failure inside the library: its number and the detail that makes its text specific.
/// Raised by the layers below the entries and turned into the thread's last error there.
class LibraryError : public std::runtime_error {
public:
    LibraryError(int number, std::string detail = {}, FarEnd end = FarEnd::Gateway);

    int number() const noexcept { return m_number; }
    const std::string& detail() const noexcept { return m_detail; }
    /// The full text as the user sees it (at most kMaxErrorText characters).
    const std::string& text() const noexcept { return m_text; }
    /// The same error worded for a session whose far end is `end`.
    LibraryError wordedFor(FarEnd end) const { return LibraryError(m_number, m_detail, end); }

private:
    int m_number;
    std::string m_detail;
    std::string m_text;
};

/// Maps an error code from the gateway's `error` field to the library's number: codes the
/// protocol defines keep their number, anything else becomes kUnknownGatewayError.
LibraryError gatewayError(std::int32_t code);

/// The library's error for a failure of the transport: its number, the detail kept (but for
/// an interrupt, which reads the same on every transport).
LibraryError libraryError(const net::TransportError& failure);

/// Runs `body`; a TransportError it throws comes out as the LibraryError it means.
template <typename F>
decltype(auto) translated(F&& body) {
    try {
        return body();
    } catch (const net::TransportError& failure) {
        throw libraryError(failure);
    }
}

} // namespace library
