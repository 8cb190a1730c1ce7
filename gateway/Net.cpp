#include "gateway/Net.h"

#include "vxi11/codec/RecordMarking.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace gateway::net {

namespace {

bool makeAddress(const std::string& address, std::uint16_t port, sockaddr_in& out,
                 std::string* error) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) != 1) {
        if (error)
            *error = "not a numeric IPv4 address: " + address;
        return false;
    }
    return true;
}

int bound(int type, const std::string& address, std::uint16_t port, std::string* error) {
    sockaddr_in sa{};
    if (!makeAddress(address, port, sa, error))
        return -1;
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error)
            *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    if (type == SOCK_STREAM)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (error)
            *error = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int listenTcp(const std::string& address, std::uint16_t port, std::string* error) {
    int fd = bound(SOCK_STREAM, address, port, error);
    if (fd >= 0 && ::listen(fd, 64) != 0) {
        if (error)
            *error = std::string("listen: ") + std::strerror(errno);
        closeFd(fd);
    }
    return fd;
}

int bindUdp(const std::string& address, std::uint16_t port, std::string* error) {
    return bound(SOCK_DGRAM, address, port, error);
}

std::uint16_t localPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

bool sendAll(int fd, vxi11::xdr::ByteView data, int wakeFd) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n =
            ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR)
                return false;
            if (p[1].revents != 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

bool peerGone(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int connectTcp(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds timeout) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        pollfd p{fd, POLLOUT, 0};
        int soErr = 0;
        socklen_t len = sizeof soErr;
        if (errno != EINPROGRESS || ::poll(&p, 1, static_cast<int>(timeout.count())) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0 || soErr != 0) {
            closeFd(fd);
            return -1;
        }
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::optional<vxi11::xdr::Bytes> tcpCall(const std::string& address, std::uint16_t port,
                                         vxi11::xdr::ByteView callMessage,
                                         std::chrono::milliseconds timeout) {
    sockaddr_in sa{};
    if (!makeAddress(address, port, sa, nullptr))
        return std::nullopt;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto remainingMs = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    };
    std::optional<vxi11::xdr::Bytes> result;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        closeFd(fd);
        return result;
    }
    pollfd p{fd, POLLOUT, 0};
    int soErr = 0;
    socklen_t len = sizeof soErr;
    if (::poll(&p, 1, remainingMs()) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0 || soErr != 0) {
        closeFd(fd);
        return result;
    }
    const vxi11::xdr::Bytes framed = vxi11::rpc::frameRecord(callMessage);
    std::size_t sent = 0;
    while (sent < framed.size()) {
        pollfd w{fd, POLLOUT, 0};
        if (::poll(&w, 1, remainingMs()) != 1)
            break;
        const ssize_t n = ::send(fd, framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    vxi11::rpc::RecordReader reader(64 * 1024);
    std::uint8_t buf[4096];
    while (sent == framed.size()) {
        pollfd r{fd, POLLIN, 0};
        if (::poll(&r, 1, remainingMs()) != 1)
            break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        const auto fed = reader.feed(vxi11::xdr::ByteView(buf, static_cast<std::size_t>(n)));
        if (fed.status == vxi11::rpc::RecordReader::Status::Complete) {
            result = reader.takeRecord();
            break;
        }
        if (fed.status == vxi11::rpc::RecordReader::Status::Malformed)
            break;
    }
    closeFd(fd);
    return result;
}

} // namespace gateway::net
