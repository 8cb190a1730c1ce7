#include "net/HostConnect.h"

#include "net/Resolver.h"
#include "net/TransportError.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace net {

namespace {

TcpConnection connectIpv6(const in6_addr& address, std::uint16_t port, Deadline deadline,
                          const std::string& peer) {
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        throwSystemError(errno, peer);
    }
    constexpr int kOne = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &kOne, sizeof kOne);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    addr.sin6_addr = address;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            throwSystemError(errno, peer);
        }
        pollfd p{fd.get(), POLLOUT, 0};
        int n = 0;
        while ((n = ::poll(&p, 1, deadline.pollTimeoutMs())) < 0 && errno == EINTR) {
        }
        if (n == 0) {
            throw TransportError(TransportError::Kind::Timeout, peer);
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (n < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            throwSystemError(errno, peer);
        }
        if (error != 0) {
            throwSystemError(error, peer);
        }
    }
    return TcpConnection::adopt(std::move(fd), peer);
}

} // namespace

TcpConnection connectHost(const std::string& host, std::uint16_t port, Deadline deadline) {
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        return connectIpv6(v6, port, deadline, "[" + host + "]:" + std::to_string(port));
    }
    const std::uint32_t ipv4 = resolveHost(host, systemResolve, deadline);
    return TcpConnection::connect(ipv4, port, deadline);
}

} // namespace net
