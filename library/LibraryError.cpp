#include "library/LibraryError.h"

#include <array>
#include <utility>

namespace library {

namespace {

struct Entry {
    int number;
    const char* text;
    /// The text for a LAN instrument's session (HiSLIP, socket), where it differs: such an
    /// instrument has neither a gateway nor links.
    const char* instrumentText = nullptr;
};

// The one table of error numbers and texts. Each text reads well after a caption such as
// "Create interface link error", and leaves room for a short detail after ": ".
constexpr std::array kTable{
    Entry{liberr::kSyntax, "gateway cannot parse the device name"},
    Entry{liberr::kDeviceNotAccessible, "device not accessible"},
    Entry{liberr::kInvalidLinkId, "invalid link identifier"},
    Entry{liberr::kParameter, "parameter error"},
    Entry{liberr::kChannelNotEstablished, "channel not established"},
    Entry{liberr::kNotSupported, "operation not supported"},
    Entry{liberr::kOutOfResources, "gateway out of resources"},
    Entry{liberr::kLockedByAnother, "device locked by another link",
          "device locked by another session"},
    Entry{liberr::kNoLockHeld, "no lock held by this link", "no lock held by this session"},
    Entry{liberr::kIoTimeout, "I/O timeout"},
    Entry{liberr::kIoError, "I/O error"},
    Entry{liberr::kInvalidAddress, "invalid address"},
    Entry{liberr::kAborted, "operation aborted"},
    Entry{liberr::kChannelAlreadyEstablished, "channel already established"},
    Entry{liberr::kBadAddressSyntax, "bad address syntax"},
    Entry{liberr::kAddressOutOfRange, "invalid GPIB address"},
    Entry{liberr::kHostNotFound, "host not found"},
    Entry{liberr::kConnectionRefused, "connection refused"},
    Entry{liberr::kConnectionLost, "connection to gateway lost", "connection to instrument lost"},
    Entry{liberr::kMalformedReply, "malformed reply from gateway",
          "malformed reply from instrument"},
    Entry{liberr::kGatewayTimeout, "no answer from gateway in time",
          "no answer from instrument in time"},
    Entry{liberr::kUnknownSession, "unknown session id"},
    Entry{liberr::kNeedsInterfaceSession, "needs an interface session"},
    Entry{liberr::kNeedsDeviceSession, "needs a device session"},
    Entry{liberr::kCallRefused, "gateway refused the call"},
    Entry{liberr::kNoVxi11Service, "no VXI-11 service on gateway"},
    Entry{liberr::kNetwork, "network error"},
    Entry{liberr::kInvalidArgument, "invalid argument"},
    Entry{liberr::kTooManySessions, "too many open sessions"},
    Entry{liberr::kUnknownGatewayError, "unknown gateway error"},
    Entry{liberr::kShortWrite, "gateway took only part of the data"},
    Entry{liberr::kOutOfMemory, "out of memory"},
    Entry{liberr::kBadDeviceName, "bad device name"},
    Entry{liberr::kInterrupted, "operation interrupted"},
    Entry{liberr::kServerError, "server error"},
    Entry{liberr::kServerFatalError, "server fatal error"},
    Entry{liberr::kBadServerMessage, "protocol error"},
    Entry{liberr::kLockAlreadyHeld, "lock already held by this session"},
    Entry{liberr::kBadStatusReply, "status byte answer is not a number"},
};

/// At most kMaxErrorText characters: a detail that does not fit loses its last words, never
/// half of one (a detail of one long word is cut, as nothing of it would stay otherwise).
std::string shortened(std::string text, std::size_t detailFrom) {
    if (text.size() <= kMaxErrorText) {
        return text;
    }
    const std::size_t blank = text.find_last_of(' ', kMaxErrorText);
    text.resize(blank != std::string::npos && blank > detailFrom ? blank : kMaxErrorText);
    while (!text.empty() && (text.back() == ' ' || text.back() == ':' || text.back() == ',')) {
        text.pop_back();
    }
    return text;
}

} // namespace

const char* errorTableText(int number, FarEnd end) noexcept {
    for (const Entry& e : kTable) {
        if (e.number == number) {
            return end == FarEnd::Instrument && e.instrumentText != nullptr ? e.instrumentText
                                                                            : e.text;
        }
    }
    return nullptr;
}

std::string errorText(int number, FarEnd end) {
    if (const char* text = errorTableText(number, end)) {
        return text;
    }
    return "unknown error " + std::to_string(number);
}

std::string errorTextWithDetail(int number, std::string_view detail, FarEnd end) {
    std::string text = errorText(number, end);
    const std::size_t detailFrom = text.size() + 2;
    if (!detail.empty()) {
        text += ": ";
        text += detail;
    }
    return shortened(std::move(text), detailFrom);
}

LibraryError::LibraryError(int number, std::string detail, FarEnd end)
    : std::runtime_error(errorTextWithDetail(number, detail, end)), m_number(number),
      m_detail(std::move(detail)), m_text(what()) {}

LibraryError gatewayError(std::int32_t code) {
    if (code > 0 && code < liberr::kBadAddressSyntax && errorTableText(code) != nullptr) {
        return LibraryError(code);
    }
    return LibraryError(liberr::kUnknownGatewayError, "code " + std::to_string(code));
}

LibraryError libraryError(const net::TransportError& failure) {
    using Kind = net::TransportError::Kind;
    switch (failure.kind()) {
    case Kind::HostNotFound:
        return LibraryError(liberr::kHostNotFound, failure.detail());
    case Kind::ConnectionRefused:
        return LibraryError(liberr::kConnectionRefused, failure.detail());
    case Kind::ConnectionLost:
        return LibraryError(liberr::kConnectionLost, failure.detail());
    case Kind::Timeout:
        return LibraryError(liberr::kGatewayTimeout, failure.detail());
    case Kind::Malformed:
        return LibraryError(liberr::kMalformedReply, failure.detail());
    case Kind::CallRefused:
        return LibraryError(liberr::kCallRefused, failure.detail());
    case Kind::Interrupted:
        return LibraryError(liberr::kInterrupted); // the caller's doing, wherever it struck
    case Kind::System:
        break;
    }
    return LibraryError(liberr::kNetwork, failure.detail());
}

} // namespace library
