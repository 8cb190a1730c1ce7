#include "net/WaitAny.h"

#include "net/Interrupt.h"
#include "net/TransportError.h"

#include <array>
#include <cerrno>
#include <poll.h>

namespace net {

namespace {

constexpr std::size_t kMaxWatched = 32;

short eventsOf(Watch watch) {
    switch (watch) {
    case Watch::Readable:
        return POLLIN;
    case Watch::Writable:
        return POLLOUT;
    case Watch::Hangup:
        return POLLRDHUP;
    }
    return 0;
}

} // namespace

std::uint32_t waitAny(std::span<const Watched> watched, Deadline deadline) {
    if (watched.size() > kMaxWatched) {
        throw TransportError(TransportError::Kind::System, "too many descriptors to watch");
    }
    // One more slot for the interrupt's descriptor, so Ctrl-C ends this wait as any other.
    std::array<pollfd, kMaxWatched + 1> fds{};
    for (std::size_t i = 0; i < watched.size(); ++i) {
        fds[i] = pollfd{watched[i].fd, eventsOf(watched[i].watch), 0};
    }
    fds[watched.size()] = pollfd{interrupt::watchedFd(), POLLIN, 0};
    for (;;) {
        if (interrupt::take()) {
            throw TransportError(TransportError::Kind::Interrupted);
        }
        int n =
            ::poll(fds.data(), static_cast<nfds_t>(watched.size() + 1), deadline.pollTimeoutMs());
        if (n > 0 && fds[watched.size()].revents != 0) {
            interrupt::clearWake(); // a trigger, or one already taken: the check above tells
            if (--n == 0) {
                continue;
            }
        }
        if (n > 0) {
            std::uint32_t ready = 0;
            for (std::size_t i = 0; i < watched.size(); ++i) {
                // Hang-ups and errors are reported whatever was asked: the next call on the
                // descriptor tells which.
                if (fds[i].revents != 0) {
                    ready |= std::uint32_t{1} << i;
                }
            }
            return ready;
        }
        if (n == 0) {
            return 0;
        }
        if (errno != EINTR) {
            throwSystemError(errno, "poll");
        }
    }
}

} // namespace net
