#include "net/TcpConnection.h"

#include "net/Interrupt.h"
#include "net/Resolver.h"
#include "net/TransportError.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace net {

namespace {

constexpr int kOne = 1;

using Kind = TransportError::Kind;

/// Ends the operation at once when an interrupt is pending; `peer` names it in the error.
void throwIfInterrupted(const std::string& peer) {
    if (interrupt::take()) {
        throw TransportError(Kind::Interrupted, peer);
    }
}

} // namespace

TcpConnection TcpConnection::connect(std::uint32_t ipv4, std::uint16_t port, Deadline deadline,
                                     SocketOps& ops) {
    return connect(IpAddress::fromIpv4(ipv4), port, deadline, ops);
}

TcpConnection TcpConnection::connectAny(const std::vector<IpAddress>& addresses, std::uint16_t port,
                                        Deadline deadline, SocketOps& ops) {
    for (std::size_t i = 0;; ++i) {
        try {
            return connect(addresses.at(i), port, deadline, ops);
        } catch (const TransportError& e) {
            // A time-out or an interrupt ends the whole attempt; a refusal tries the next.
            if (e.onlyWaitEnded() || i + 1 >= addresses.size()) {
                throw;
            }
        }
    }
}

TcpConnection TcpConnection::connect(const IpAddress& address, std::uint16_t port,
                                     Deadline deadline, SocketOps& ops) {
    const std::string peer = address.hostText() + ":" + std::to_string(port);
    throwIfInterrupted(peer);
    Fd fd(::socket(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        throwSystemError(errno, peer);
    }
    // Small request/reply exchanges: without this, each call could wait for a delayed ACK.
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &kOne, sizeof kOne);

    sockaddr_storage addr{};
    const socklen_t length = address.toSockaddr(port, addr);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length) != 0) {
        if (errno != EINPROGRESS) {
            throwSystemError(errno, peer);
        }
        TcpConnection pending(std::move(fd), ops, peer, address);
        pending.waitFor(POLLOUT, deadline);
        int error = 0;
        socklen_t errorLength = sizeof error;
        if (::getsockopt(pending.fd(), SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0) {
            throwSystemError(errno, peer);
        }
        if (error != 0) {
            throwSystemError(error, peer);
        }
        return pending;
    }
    return TcpConnection(std::move(fd), ops, peer, address);
}

TcpConnection TcpConnection::adopt(Fd fd, std::string peer, SocketOps& ops) {
    return TcpConnection(std::move(fd), ops, std::move(peer));
}

void TcpConnection::waitFor(short events, Deadline deadline) {
    // The interrupt's descriptor beside the socket: a trigger after the check below still
    // wakes the poll.
    pollfd p[2] = {{m_fd.get(), events, 0}, {interrupt::watchedFd(), POLLIN, 0}};
    for (;;) {
        throwIfInterrupted(m_peer);
        const int n = ::poll(p, 2, deadline.pollTimeoutMs());
        if (n > 0 && p[0].revents != 0) {
            return; // errors and hang-ups show in the following send/recv/getsockopt
        }
        if (n > 0) {
            interrupt::clearWake(); // a trigger, or one already taken: the check above tells
            continue;
        }
        if (n == 0) {
            throw TransportError(Kind::Timeout);
        }
        if (errno != EINTR) {
            throwSystemError(errno, m_peer);
        }
    }
}

void TcpConnection::sendAll(std::span<const std::uint8_t> bytes, Deadline deadline) {
    if (!isOpen()) {
        throw TransportError(Kind::ConnectionLost, m_peer);
    }
    throwIfInterrupted(m_peer);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = m_ops->send(m_fd.get(), bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitFor(POLLOUT, deadline);
            continue;
        }
        throwSystemError(n == 0 ? EPIPE : errno, m_peer);
    }
}

void TcpConnection::sendAll(std::initializer_list<std::span<const std::uint8_t>> pieces,
                            Deadline deadline) {
    if (!isOpen()) {
        throw TransportError(Kind::ConnectionLost, m_peer);
    }
    if (pieces.size() > kMaxPieces) {
        throw TransportError(Kind::System, "too many pieces to send");
    }
    throwIfInterrupted(m_peer);
    iovec iov[kMaxPieces];
    int count = 0;
    for (const auto& piece : pieces) {
        if (!piece.empty()) {
            iov[count].iov_base = const_cast<std::uint8_t*>(piece.data());
            iov[count].iov_len = piece.size();
            ++count;
        }
    }
    int first = 0;
    while (first < count) {
        const ssize_t n = m_ops->sendv(m_fd.get(), iov + first, count - first);
        if (n > 0) {
            // Past the pieces that went out whole, into the one that went out in part.
            auto left = static_cast<std::size_t>(n);
            while (first < count && left >= iov[first].iov_len) {
                left -= iov[first].iov_len;
                ++first;
            }
            if (first < count) {
                iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
                iov[first].iov_len -= left;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitFor(POLLOUT, deadline);
            continue;
        }
        throwSystemError(n == 0 ? EPIPE : errno, m_peer);
    }
}

std::size_t TcpConnection::receiveSome(std::span<std::uint8_t> out, Deadline deadline) {
    const std::size_t n = receiveUntilClose(out, deadline);
    if (n == 0) {
        throw TransportError(Kind::ConnectionLost, m_peer);
    }
    return n;
}

std::size_t TcpConnection::receiveUntilClose(std::span<std::uint8_t> out, Deadline deadline) {
    if (!isOpen()) {
        throw TransportError(Kind::ConnectionLost, m_peer);
    }
    // Also when data is waiting: a long transfer ends at the next piece.
    throwIfInterrupted(m_peer);
    for (;;) {
        const ssize_t n = m_ops->recv(m_fd.get(), out.data(), out.size());
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(POLLIN, deadline);
            continue;
        }
        throwSystemError(errno, m_peer);
    }
}

std::optional<std::size_t> TcpConnection::receiveBlocking(std::span<std::uint8_t> out) {
    for (;;) {
        const ssize_t n = m_ops->recv(m_fd.get(), out.data(), out.size());
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        return 0; // reset or failed: over, as if closed
    }
}

void TcpConnection::setReceiveTimeout(std::chrono::milliseconds timeout) {
    const auto ms = timeout.count();
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    ::setsockopt(m_fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void TcpConnection::shutdown() noexcept {
    if (m_fd.valid()) {
        ::shutdown(m_fd.get(), SHUT_RDWR);
    }
}

void TcpConnection::stopReceiving() noexcept {
    if (m_fd.valid()) {
        ::shutdown(m_fd.get(), SHUT_RD);
    }
}

bool TcpConnection::peerClosed() const noexcept {
    pollfd p{m_fd.get(), POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) {
        return false;
    }
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

IpAddress TcpConnection::localAddress() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        throw TransportError(Kind::System, "getsockname: " + std::to_string(errno));
    }
    return IpAddress::fromSockaddr(local);
}

std::uint32_t TcpConnection::localIpv4() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        throw TransportError(Kind::System, "getsockname: " + std::to_string(errno));
    }
    return local.sin_addr.s_addr;
}

} // namespace net
