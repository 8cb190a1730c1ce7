#include "net/Fd.h"

#include <unistd.h>

namespace net {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int Fd::release() noexcept {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void Fd::reset(int fd) noexcept {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = fd;
}

} // namespace net
