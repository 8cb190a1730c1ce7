#include "vxi11/client/ScriptServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

void put32(Bytes& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t get32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

Bytes acceptedReply(std::uint32_t xid, std::uint32_t status) {
    Bytes b;
    put32(b, xid);
    put32(b, 1); // REPLY
    put32(b, 0); // MSG_ACCEPTED
    put32(b, 0); // verifier AUTH_NONE
    put32(b, 0); // verifier length
    put32(b, status);
    return b;
}

bool Peer::waitReadable() {
    if (m_fd < 0) {
        return false;
    }
    pollfd p[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0 && p[1].revents == 0;
    }
}

std::optional<Bytes> Peer::readExact(std::size_t n) {
    Bytes out(n);
    std::size_t got = 0;
    while (got < n) {
        if (!waitReadable()) {
            return std::nullopt;
        }
        const ssize_t r = ::recv(m_fd, out.data() + got, n - got, 0);
        if (r <= 0) {
            return std::nullopt;
        }
        got += static_cast<std::size_t>(r);
    }
    return out;
}

std::optional<Bytes> Peer::readRecord() {
    Bytes record;
    for (;;) {
        auto header = readExact(4);
        if (!header) {
            return std::nullopt;
        }
        const std::uint32_t word = get32(*header, 0);
        auto body = readExact(word & 0x7FFFFFFFu);
        if (!body) {
            return std::nullopt;
        }
        record.insert(record.end(), body->begin(), body->end());
        if (word & 0x80000000u) {
            return record;
        }
    }
}

void Peer::sendRaw(std::span<const std::uint8_t> bytes) {
    if (m_fd < 0) {
        return;
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return; // the client went away; the script goes on and finds out later
        }
        sent += static_cast<std::size_t>(n);
    }
}

void Peer::sendRecord(std::span<const std::uint8_t> body) {
    Bytes b;
    put32(b, 0x80000000u | static_cast<std::uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    sendRaw(b);
}

void Peer::waitClosed() {
    std::uint8_t sink[256];
    while (waitReadable()) {
        if (::recv(m_fd, sink, sizeof sink, 0) <= 0) {
            return;
        }
    }
}

void Peer::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void Peer::reset() {
    // Closing with a zero linger time sends RST instead of FIN.
    linger l{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(m_fd);
    m_fd = -1;
}

Peer::~Peer() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

ScriptServer::ScriptServer(Script script, Family family) : m_script(std::move(script)) {
    const bool v6 = family == Family::Ipv6;
    m_listenFd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_stopFd = ::eventfd(0, EFD_CLOEXEC);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 addr6{};
    addr6.sin6_family = AF_INET6;
    addr6.sin6_addr = in6addr_loopback;
    auto* sa = v6 ? reinterpret_cast<sockaddr*>(&addr6) : reinterpret_cast<sockaddr*>(&addr);
    socklen_t length = v6 ? sizeof addr6 : sizeof addr;
    if (m_listenFd < 0 || m_stopFd < 0 || ::bind(m_listenFd, sa, length) != 0 ||
        ::listen(m_listenFd, 16) != 0 || ::getsockname(m_listenFd, sa, &length) != 0) {
        if (m_listenFd >= 0) {
            ::close(m_listenFd);
        }
        if (m_stopFd >= 0) {
            ::close(m_stopFd);
        }
        throw std::runtime_error("script server cannot listen");
    }
    m_port = ntohs(v6 ? addr6.sin6_port : addr.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

ScriptServer::~ScriptServer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(m_stopFd, &one, sizeof one);
    m_acceptThread.join();
    for (auto& t : m_peerThreads) {
        t.join();
    }
    ::close(m_listenFd);
    ::close(m_stopFd);
}

void ScriptServer::acceptLoop() {
    for (;;) {
        pollfd p[2] = {{m_listenFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (p[1].revents != 0) {
            return;
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++m_accepted;
        std::lock_guard lock(m_mutex);
        m_peerThreads.emplace_back([this, fd] {
            Peer peer(fd, m_stopFd);
            m_script(peer);
        });
    }
}

} // namespace testsupport
