#include "vxi11/LibraryError.h"

#include <array>
#include <utility>

namespace vxi11 {

namespace {

struct Entry {
    int number;
    const char* text;
};

// The one table of error numbers and texts. Each text reads well after a caption such as
// "Create interface link error", and leaves room for a short detail after ": ".
constexpr std::array kTable{
    Entry{err::kSyntax, "gateway cannot parse the device name"},
    Entry{err::kDeviceNotAccessible, "device not accessible"},
    Entry{err::kInvalidLinkId, "invalid link identifier"},
    Entry{err::kParameter, "parameter error"},
    Entry{err::kChannelNotEstablished, "channel not established"},
    Entry{err::kNotSupported, "operation not supported"},
    Entry{err::kOutOfResources, "gateway out of resources"},
    Entry{err::kLockedByAnother, "device locked by another link"},
    Entry{err::kNoLockHeld, "no lock held by this link"},
    Entry{err::kIoTimeout, "I/O timeout"},
    Entry{err::kIoError, "I/O error"},
    Entry{err::kInvalidAddress, "invalid address"},
    Entry{err::kAborted, "operation aborted"},
    Entry{err::kChannelAlreadyEstablished, "channel already established"},
    Entry{err::kBadAddressSyntax, "bad address syntax"},
    Entry{err::kAddressOutOfRange, "invalid GPIB address"},
    Entry{err::kHostNotFound, "host not found"},
    Entry{err::kConnectionRefused, "connection refused"},
    Entry{err::kConnectionLost, "connection to gateway lost"},
    Entry{err::kMalformedReply, "malformed reply from gateway"},
    Entry{err::kGatewayTimeout, "no answer from gateway in time"},
    Entry{err::kUnknownSession, "unknown session id"},
    Entry{err::kNeedsInterfaceSession, "needs an interface session"},
    Entry{err::kNeedsDeviceSession, "needs a device session"},
    Entry{err::kCallRefused, "gateway refused the call"},
    Entry{err::kNoVxi11Service, "no VXI-11 service on gateway"},
    Entry{err::kNetwork, "network error"},
    Entry{err::kInvalidArgument, "invalid argument"},
    Entry{err::kTooManySessions, "too many open sessions"},
    Entry{err::kUnknownGatewayError, "unknown gateway error"},
    Entry{err::kShortWrite, "gateway took only part of the data"},
};

std::string cut(std::string text) {
    if (text.size() > kMaxErrorText) {
        text.resize(kMaxErrorText);
    }
    return text;
}

} // namespace

const char* errorTableText(int number) noexcept {
    for (const Entry& e : kTable) {
        if (e.number == number) {
            return e.text;
        }
    }
    return nullptr;
}

std::string errorText(int number) {
    if (const char* text = errorTableText(number)) {
        return text;
    }
    return "unknown error " + std::to_string(number);
}

std::string errorTextWithDetail(int number, std::string_view detail) {
    std::string text = errorText(number);
    if (!detail.empty()) {
        text += ": ";
        text += detail;
    }
    return cut(std::move(text));
}

LibraryError::LibraryError(int number, std::string detail)
    : std::runtime_error(errorTextWithDetail(number, detail)), m_number(number),
      m_detail(std::move(detail)), m_text(what()) {}

LibraryError gatewayError(std::int32_t code) {
    if (code > 0 && code < err::kBadAddressSyntax && errorTableText(code) != nullptr) {
        return LibraryError(code);
    }
    return LibraryError(err::kUnknownGatewayError, "code " + std::to_string(code));
}

} // namespace vxi11
