#include "net/Listeners.h"

#include "net/Interrupt.h"
#include "net/Resolver.h"
#include "net/TransportError.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace net {

namespace {

constexpr int kOne = 1;

[[noreturn]] void fail(const std::string& what) {
    throw TransportError(TransportError::Kind::System, what);
}

sockaddr_in socketAddress(const std::string& address, std::uint16_t port) {
    const auto ipv4 = parseIpv4(address);
    if (!ipv4) {
        fail("not a numeric IPv4 address: " + address);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = *ipv4;
    return sa;
}

/// A socket of `type` bound to `address`:`port`, and the port it got.
Fd bound(int type, const std::string& address, std::uint16_t port, std::uint16_t& boundPort) {
    sockaddr_in sa = socketAddress(address, port);
    Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        fail(std::string("socket: ") + std::strerror(errno));
    }
    if (type == SOCK_STREAM) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &kOne, sizeof kOne);
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        fail("bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno));
    }
    socklen_t length = sizeof sa;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        fail(std::string("getsockname: ") + std::strerror(errno));
    }
    boundPort = ntohs(sa.sin_port);
    return fd;
}

/// True when `fd` is readable by `deadline`. An interruptible wait (a client's, never a
/// server loop's) ends at an interrupt with Kind::Interrupted.
bool readable(int fd, Deadline deadline, bool interruptible) {
    pollfd p[2] = {{fd, POLLIN, 0}, {interruptible ? interrupt::watchedFd() : -1, POLLIN, 0}};
    for (;;) {
        if (interruptible && interrupt::take()) {
            throw TransportError(TransportError::Kind::Interrupted);
        }
        const int n = ::poll(p, 2, deadline.pollTimeoutMs());
        if (n > 0 && p[0].revents != 0) {
            return true;
        }
        if (n > 0) {
            interrupt::clearWake();
            continue;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

} // namespace

TcpListener TcpListener::open(const std::string& address, std::uint16_t port, int backlog) {
    TcpListener listener;
    listener.m_fd = bound(SOCK_STREAM, address, port, listener.m_port);
    if (::listen(listener.m_fd.get(), backlog) != 0) {
        fail(std::string("listen: ") + std::strerror(errno));
    }
    return listener;
}

std::optional<TcpListener::Accepted> TcpListener::accept(Mode mode) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int flags = SOCK_CLOEXEC | (mode == Mode::NonBlocking ? SOCK_NONBLOCK : 0);
    Fd fd(::accept4(m_fd.get(), reinterpret_cast<sockaddr*>(&from), &length, flags));
    if (!fd.valid()) {
        return std::nullopt;
    }
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &kOne, sizeof kOne);
    const std::string peer =
        ipv4Text(from.sin_addr.s_addr) + ":" + std::to_string(ntohs(from.sin_port));
    return Accepted{TcpConnection::adopt(std::move(fd), peer), from.sin_addr.s_addr};
}

std::optional<TcpListener::Accepted> TcpListener::accept(Mode mode, Deadline deadline) {
    if (!readable(m_fd.get(), deadline, true)) {
        return std::nullopt;
    }
    return accept(mode);
}

UdpSocket UdpSocket::open(const std::string& address, std::uint16_t port) {
    UdpSocket socket;
    socket.m_fd = bound(SOCK_DGRAM, address, port, socket.m_port);
    return socket;
}

std::optional<UdpSocket::Received> UdpSocket::receiveFrom(std::span<std::uint8_t> buffer,
                                                          Deadline deadline) {
    if (!readable(m_fd.get(), deadline, false)) {
        return std::nullopt;
    }
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(m_fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0) {
        return std::nullopt;
    }
    return Received{static_cast<std::size_t>(n), from.sin_addr.s_addr, ntohs(from.sin_port)};
}

bool UdpSocket::sendTo(std::span<const std::uint8_t> datagram, std::uint32_t ipv4,
                       std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = ipv4;
    const ssize_t n = ::sendto(m_fd.get(), datagram.data(), datagram.size(), MSG_DONTWAIT,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(datagram.size());
}

} // namespace net
