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

/// A socket of `type` bound to the numeric `address` (IPv4, or IPv6 with its zone) and
/// `port`, and the port it got.
Fd bound(int type, const std::string& address, std::uint16_t port, std::uint16_t& boundPort) {
    const auto ip = parseIpLiteral(address);
    if (!ip) {
        fail("not a numeric IP address: " + address);
    }
    sockaddr_storage sa{};
    socklen_t length = ip->toSockaddr(port, sa);
    Fd fd(::socket(ip->v6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        fail(std::string("socket: ") + std::strerror(errno));
    }
    if (type == SOCK_STREAM) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &kOne, sizeof kOne);
    }
    if (ip->v6) {
        // `::` serves IPv6 alone; IPv4 has its own listener where it is wanted.
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &kOne, sizeof kOne);
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), length) != 0) {
        fail("bind " + ip->hostText() + ":" + std::to_string(port) + ": " + std::strerror(errno));
    }
    length = sizeof sa;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        fail(std::string("getsockname: ") + std::strerror(errno));
    }
    boundPort = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(sa).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(sa).sin_port);
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
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const int flags = SOCK_CLOEXEC | (mode == Mode::NonBlocking ? SOCK_NONBLOCK : 0);
    Fd fd(::accept4(m_fd.get(), reinterpret_cast<sockaddr*>(&from), &length, flags));
    if (!fd.valid()) {
        return std::nullopt;
    }
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &kOne, sizeof kOne);
    const IpAddress address = IpAddress::fromSockaddr(from);
    const std::uint16_t port =
        ntohs(from.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(from).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(from).sin_port);
    const std::string peer = address.hostText() + ":" + std::to_string(port);
    return Accepted{TcpConnection::adopt(std::move(fd), peer), address.ipv4(), address};
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
