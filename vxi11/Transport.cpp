#include "vxi11/Transport.h"

#include "vxi11/LibraryError.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vxi11 {

using std::chrono::milliseconds;

// ---- Deadline ----

milliseconds Deadline::remaining() const noexcept {
    if (!m_when) {
        return milliseconds::max();
    }
    const auto left = *m_when - Clock::now();
    if (left <= Clock::duration::zero()) {
        return milliseconds(0);
    }
    return std::chrono::ceil<milliseconds>(left);
}

int Deadline::pollTimeoutMs() const noexcept {
    if (!m_when) {
        return -1;
    }
    const auto left = remaining().count();
    return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                  : static_cast<int>(left);
}

Deadline Deadline::earlier(const Deadline& other) const noexcept {
    if (!m_when) {
        return other;
    }
    if (!other.m_when) {
        return *this;
    }
    return *m_when <= *other.m_when ? *this : other;
}

Deadline Deadline::extendedBy(milliseconds span) const noexcept {
    return m_when ? Deadline(*m_when + span) : Deadline();
}

// ---- Fd ----

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

// ---- SocketOps ----

ssize_t SocketOps::send(int fd, const void* data, std::size_t length) {
    return ::send(fd, data, length, MSG_NOSIGNAL);
}

ssize_t SocketOps::recv(int fd, void* data, std::size_t length) {
    return ::recv(fd, data, length, 0);
}

SocketOps& SocketOps::system() {
    static SocketOps ops;
    return ops;
}

// ---- name resolution ----

std::string ipv4Text(std::uint32_t ipv4) {
    in_addr addr{};
    addr.s_addr = ipv4;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

namespace {

std::optional<std::uint32_t> parseDotted(const std::string& host) {
    in_addr addr{};
    if (::inet_pton(AF_INET, host.c_str(), &addr) == 1) {
        return addr.s_addr;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::uint32_t> systemResolve(const std::string& host) {
    if (auto dotted = parseDotted(host)) {
        return dotted;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const std::uint32_t result = in->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return result;
}

std::uint32_t resolveHost(const std::string& host, const HostResolver& resolver,
                          Deadline deadline) {
    if (auto dotted = parseDotted(host)) {
        return *dotted;
    }
    // getaddrinfo has no time-out of its own; a slow name server must not hold the caller
    // past its deadline, so the look-up runs on a thread that may outlive this call.
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<std::uint32_t> result;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, resolver, host] {
        auto result = resolver(host);
        std::lock_guard lock(shared->mutex);
        shared->result = result;
        shared->finished = true;
        shared->done.notify_all();
    }).detach();

    std::unique_lock lock(shared->mutex);
    const auto finished = [&] { return shared->finished; };
    if (deadline.isNever()) {
        shared->done.wait(lock, finished);
    } else if (!shared->done.wait_for(lock, deadline.remaining(), finished)) {
        throw LibraryError(liberr::kGatewayTimeout, "looking up " + host);
    }
    if (!shared->result) {
        throw LibraryError(liberr::kHostNotFound, host);
    }
    return *shared->result;
}

// ---- TcpConnection ----

namespace {

[[noreturn]] void throwErrno(int error, const std::string& peer) {
    switch (error) {
    case ECONNREFUSED:
        throw LibraryError(liberr::kConnectionRefused, peer);
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
    case ECONNABORTED:
        throw LibraryError(liberr::kConnectionLost, peer);
    case ETIMEDOUT:
        throw LibraryError(liberr::kGatewayTimeout, peer);
    default:
        throw LibraryError(liberr::kNetwork, std::strerror(error));
    }
}

} // namespace

TcpConnection TcpConnection::connect(std::uint32_t ipv4, std::uint16_t port, Deadline deadline,
                                     SocketOps& ops) {
    const std::string peer = ipv4Text(ipv4) + ":" + std::to_string(port);
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        throwErrno(errno, peer);
    }
    const int one = 1;
    // Small request/reply exchanges: without this, each call could wait for a delayed ACK.
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = ipv4;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            throwErrno(errno, peer);
        }
        TcpConnection pending(std::move(fd), ops, peer);
        pending.waitFor(POLLOUT, deadline);
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(pending.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            throwErrno(errno, peer);
        }
        if (error != 0) {
            throwErrno(error, peer);
        }
        return pending;
    }
    return TcpConnection(std::move(fd), ops, peer);
}

void TcpConnection::waitFor(short events, Deadline deadline) {
    pollfd p{m_fd.get(), events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, deadline.pollTimeoutMs());
        if (n > 0) {
            return; // errors and hang-ups show in the following send/recv/getsockopt
        }
        if (n == 0) {
            throw LibraryError(liberr::kGatewayTimeout);
        }
        if (errno != EINTR) {
            throwErrno(errno, m_peer);
        }
    }
}

void TcpConnection::sendAll(std::span<const std::uint8_t> bytes, Deadline deadline) {
    if (!isOpen()) {
        throw LibraryError(liberr::kConnectionLost, m_peer);
    }
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
        throwErrno(n == 0 ? EPIPE : errno, m_peer);
    }
}

std::size_t TcpConnection::receiveSome(std::span<std::uint8_t> out, Deadline deadline) {
    if (!isOpen()) {
        throw LibraryError(liberr::kConnectionLost, m_peer);
    }
    for (;;) {
        const ssize_t n = m_ops->recv(m_fd.get(), out.data(), out.size());
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            throw LibraryError(liberr::kConnectionLost, m_peer);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(POLLIN, deadline);
            continue;
        }
        throwErrno(errno, m_peer);
    }
}

void TcpConnection::receiveExact(std::span<std::uint8_t> out, Deadline deadline) {
    std::size_t got = 0;
    while (got < out.size()) {
        got += receiveSome(out.subspan(got), deadline);
    }
}

} // namespace vxi11
