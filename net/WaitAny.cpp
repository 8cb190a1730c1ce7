#include "net/WaitAny.h"

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
    std::array<pollfd, kMaxWatched> fds{};
    for (std::size_t i = 0; i < watched.size(); ++i) {
        fds[i] = pollfd{watched[i].fd, eventsOf(watched[i].watch), 0};
    }
    for (;;) {
        const int n =
            ::poll(fds.data(), static_cast<nfds_t>(watched.size()), deadline.pollTimeoutMs());
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
