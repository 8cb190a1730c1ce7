#include "gateway/emulator/StopSignal.h"

#include "net/WaitAny.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace gateway::emulator {

StopSignal::StopSignal() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    m_read.reset(ends[0]);
    m_write.reset(ends[1]);
}

void StopSignal::request() noexcept {
    m_requested.store(true, std::memory_order_release);
    const char byte = 1;
    // A full pipe already wakes every wait: a failed write loses nothing.
    [[maybe_unused]] const ssize_t n = ::write(m_write.get(), &byte, 1);
}

void StopSignal::check() const {
    if (requested()) {
        throw Stopped();
    }
}

void StopSignal::sleepUntil(net::Deadline deadline) const {
    const net::Watched watched[] = {{fd(), net::Watch::Readable}};
    net::waitAny(watched, deadline);
    check();
}

} // namespace gateway::emulator
