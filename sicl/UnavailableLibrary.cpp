#include "sicl/UnavailableLibrary.h"

#include <cstring>

namespace sicl {

std::int16_t UnavailableLibrary::vb_iwrite(std::int32_t, SessionId, std::string_view, std::int32_t,
                                           std::int16_t, std::int32_t& actual) {
    actual = 0;
    return 1;
}

std::int16_t UnavailableLibrary::vb_iread(std::int32_t, SessionId, std::string&, std::int32_t,
                                          std::int32_t& reason, std::int32_t& actual) {
    reason = 0;
    actual = 0;
    return 1;
}

std::int16_t UnavailableLibrary::vb_igeterrstr(std::int16_t errnum, char* buf) {
    std::memset(buf, 0, kErrorTextBufferSize);
    if (errnum == kErrorNumber) {
        std::strncpy(buf, kErrorText, kErrorTextBufferSize - 1);
    }
    return 0;
}

} // namespace sicl
