#include "sicl/Sicl32Module.h"

#include <array>
#include <cstring>

namespace sicl {

void Sicl32Module::raiseLibraryError() {
    const std::int16_t number = m_lib.vb_igeterrno();
    if (number == 0) {
        // The library failed but recorded no error: the caller carries on as after success.
        return;
    }
    // A fresh, zeroed buffer for every call, so no text of an earlier error can show through.
    std::array<char, kErrorTextBufferSize> buffer{};
    m_lib.vb_igeterrstr(number, buffer.data());
    // The library promises a NUL within the buffer; never trust it to keep that promise.
    const std::size_t length = strnlen(buffer.data(), buffer.size());
    throw SiclError(static_cast<int>(number), std::string(buffer.data(), length));
}

std::int16_t Sicl32Module::checkStatus(std::int16_t status) {
    if (status != 0) {
        raiseLibraryError();
    }
    return status;
}

std::int16_t Sicl32Module::iopen(const std::string& addr) {
    const std::int16_t id = m_lib.vb_iopen(addr);
    if (id == 0) {
        raiseLibraryError();
    }
    return id;
}

std::int16_t Sicl32Module::iclose(SessionId id) {
    return checkStatus(m_lib.vb_iclose(id));
}

std::int16_t Sicl32Module::iwrite(SessionId id, const std::string& buf, std::int32_t datalen,
                                  std::int16_t endi, std::int32_t& actual) {
    return checkStatus(m_lib.vb_iwrite(1, id, buf, datalen, endi, actual));
}

std::int16_t Sicl32Module::iread(SessionId id, std::string& buf, std::int32_t bufsize,
                                 std::int32_t& reason, std::int32_t& actual) {
    return checkStatus(m_lib.vb_iread(1, id, buf, bufsize, reason, actual));
}

std::int16_t Sicl32Module::itermchr(SessionId id, std::int16_t tchr) {
    return checkStatus(m_lib.vb_itermchr(id, tchr));
}

std::int16_t Sicl32Module::iclear(SessionId id) {
    return checkStatus(m_lib.vb_iclear(id));
}

std::int16_t Sicl32Module::ireadstb(SessionId id, std::int16_t& stb) {
    return checkStatus(m_lib.vb_ireadstb(id, stb));
}

std::int16_t Sicl32Module::itrigger(SessionId id) {
    return checkStatus(m_lib.vb_itrigger(id));
}

std::int16_t Sicl32Module::iremote(SessionId id) {
    return checkStatus(m_lib.vb_iremote(id));
}

std::int16_t Sicl32Module::ilocal(SessionId id) {
    return checkStatus(m_lib.vb_ilocal(id));
}

std::int16_t Sicl32Module::ilock(SessionId id) {
    return checkStatus(m_lib.vb_ilock(id));
}

std::int16_t Sicl32Module::ilockshared(SessionId id, const std::string& key) {
    return checkStatus(m_lib.vb_ilockshared(id, key));
}

std::int16_t Sicl32Module::iwaitsrq(SessionId id, std::int32_t waitMs) {
    return checkStatus(m_lib.vb_iwaitsrq(id, waitMs));
}

std::int16_t Sicl32Module::iunlock(SessionId id) {
    return checkStatus(m_lib.vb_iunlock(id));
}

std::int16_t Sicl32Module::itimeout(SessionId id, std::int32_t tval) {
    return checkStatus(m_lib.vb_itimeout(id, tval));
}

std::int16_t Sicl32Module::igpibbusstatus(SessionId id, std::int16_t request,
                                          std::int16_t& result) {
    return checkStatus(m_lib.vb_igpibbusstatus(id, request, result));
}

std::int16_t Sicl32Module::igpibrenctl(SessionId id, std::int16_t value) {
    return checkStatus(m_lib.vb_igpibrenctl(id, value));
}

std::int16_t Sicl32Module::igpibatnctl(SessionId id, std::int16_t value) {
    return checkStatus(m_lib.vb_igpibatnctl(id, value));
}

std::int16_t Sicl32Module::igpibsendcmd(SessionId id, std::string cmdstr, std::int32_t length) {
    return checkStatus(m_lib.vb_igpibsendcmd(id, cmdstr, length));
}

} // namespace sicl
