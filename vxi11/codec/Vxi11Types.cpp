#include "vxi11/codec/Vxi11Types.h"

namespace vxi11 {

std::string_view errorName(std::int32_t code) {
    switch (code) {
    case err::kNoError:
        return "no error";
    case err::kSyntaxError:
        return "syntax error";
    case err::kDeviceNotAccessible:
        return "device not accessible";
    case err::kInvalidLinkIdentifier:
        return "invalid link identifier";
    case err::kParameterError:
        return "parameter error";
    case err::kChannelNotEstablished:
        return "channel not established";
    case err::kOperationNotSupported:
        return "operation not supported";
    case err::kOutOfResources:
        return "out of resources";
    case err::kDeviceLockedByAnotherLink:
        return "device locked by another link";
    case err::kNoLockHeldByThisLink:
        return "no lock held by this link";
    case err::kIoTimeout:
        return "I/O timeout";
    case err::kIoError:
        return "I/O error";
    case err::kInvalidAddress:
        return "invalid address";
    case err::kAbort:
        return "abort";
    case err::kChannelAlreadyEstablished:
        return "channel already established";
    default:
        return "unknown error";
    }
}

} // namespace vxi11
