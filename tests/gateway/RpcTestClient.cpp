#include "RpcTestClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testrpc {

namespace {
sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}
} // namespace

bool RpcTestClient::connect(std::uint16_t port) {
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    const sockaddr_in sa = loopback(port);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        close();
        return false;
    }
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_reader.reset();
    m_pending.clear();
    return true;
}

void RpcTestClient::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool RpcTestClient::sendRaw(vxi11::xdr::ByteView bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<vxi11::xdr::Bytes> RpcTestClient::receiveRecord(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buf[65536];
    while (true) {
        if (!m_pending.empty()) {
            const auto fed = m_reader.feed(m_pending);
            m_pending.erase(m_pending.begin(),
                            m_pending.begin() + static_cast<std::ptrdiff_t>(fed.consumed));
            if (fed.status == vxi11::rpc::RecordReader::Status::Complete)
                return m_reader.takeRecord();
            if (fed.status == vxi11::rpc::RecordReader::Status::Malformed)
                return std::nullopt;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_fd < 0)
            return std::nullopt;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) != 1)
            return std::nullopt;
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0)
            return std::nullopt;
        m_pending.insert(m_pending.end(), buf, buf + n);
    }
}

bool RpcTestClient::closedByPeer(std::chrono::milliseconds timeout) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    std::uint8_t b;
    return ::recv(m_fd, &b, 1, 0) <= 0;
}

std::optional<vxi11::rpc::Reply> RpcTestClient::rawCall(vxi11::xdr::ByteView message,
                                                        vxi11::xdr::Bytes& storage) {
    if (!sendRecord(message))
        return std::nullopt;
    auto record = receiveRecord();
    if (!record)
        return std::nullopt;
    storage = std::move(*record);
    return vxi11::rpc::decodeReply(storage);
}

std::optional<vxi11::xdr::Bytes> udpExchange(std::uint16_t port, vxi11::xdr::ByteView datagram,
                                             std::chrono::milliseconds timeout) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    std::optional<vxi11::xdr::Bytes> out;
    const sockaddr_in sa = loopback(port);
    if (::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&sa),
                 sizeof sa) == static_cast<ssize_t>(datagram.size())) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
            std::uint8_t buf[9000];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0)
                out.emplace(buf, buf + n);
        }
    }
    ::close(fd);
    return out;
}

} // namespace testrpc
