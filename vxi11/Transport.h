#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace vxi11 {

/// A point in monotonic time by which an operation must end, or "never".
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    static Deadline never() noexcept { return Deadline(); }
    static Deadline after(std::chrono::milliseconds span) noexcept {
        return Deadline(Clock::now() + span);
    }
    static Deadline at(Clock::time_point when) noexcept { return Deadline(when); }

    bool isNever() const noexcept { return !m_when.has_value(); }
    bool expired() const noexcept { return m_when && Clock::now() >= *m_when; }
    /// Time left, 0 when expired; only meaningful when not never().
    std::chrono::milliseconds remaining() const noexcept;
    /// Time left as a poll() argument: -1 for never, rounded up so a poll never returns early.
    int pollTimeoutMs() const noexcept;
    /// The earlier of two deadlines.
    Deadline earlier(const Deadline& other) const noexcept;
    /// This deadline moved later by `span` (never stays never).
    Deadline extendedBy(std::chrono::milliseconds span) const noexcept;

private:
    Deadline() = default;
    explicit Deadline(Clock::time_point when) : m_when(when) {}
    std::optional<Clock::time_point> m_when;
};

/// Owns a file descriptor and closes it once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }
    int release() noexcept;
    void reset(int fd = -1) noexcept;

private:
    int m_fd = -1;
};

/// The system calls under a connection. Tests replace them to force short writes, resets and
/// half-closed peers without needing a misbehaving kernel.
class SocketOps {
public:
    virtual ~SocketOps() = default;
    /// As send(2) with MSG_NOSIGNAL on a non-blocking socket.
    virtual ssize_t send(int fd, const void* data, std::size_t length);
    /// As recv(2) on a non-blocking socket.
    virtual ssize_t recv(int fd, void* data, std::size_t length);

    /// The plain system calls.
    static SocketOps& system();
};

/// Resolves a host name to an IPv4 address (network byte order), or nullopt if unknown.
/// May block; callers bound it with a deadline.
using HostResolver = std::function<std::optional<std::uint32_t>(const std::string& host)>;

/// The resolver used when none is given: dotted IPv4 text directly, names via getaddrinfo.
std::optional<std::uint32_t> systemResolve(const std::string& host);

/// Resolves `host` within `deadline`: dotted IPv4 text at once, names through `resolver` on
/// a helper thread that is left behind if the deadline passes first. Throws LibraryError
/// (host not found, or time-out waiting for the gateway).
std::uint32_t resolveHost(const std::string& host, const HostResolver& resolver, Deadline deadline);

/// One TCP connection with non-blocking I/O bounded by deadlines. TCP_NODELAY is set, so a
/// record sent with one sendAll() goes out at once.
class TcpConnection {
public:
    TcpConnection() = default;

    /// Connects to `ipv4` (network byte order) and `port`, giving up at `deadline`. Throws
    /// LibraryError: connection refused, time-out, network error.
    static TcpConnection connect(std::uint32_t ipv4, std::uint16_t port, Deadline deadline,
                                 SocketOps& ops = SocketOps::system());

    bool isOpen() const noexcept { return m_fd.valid(); }
    void close() noexcept { m_fd.reset(); }
    int fd() const noexcept { return m_fd.get(); }

    /// Sends every byte or throws LibraryError (connection lost, time-out).
    void sendAll(std::span<const std::uint8_t> bytes, Deadline deadline);
    /// Receives exactly `out.size()` bytes or throws LibraryError (connection lost, time-out).
    void receiveExact(std::span<std::uint8_t> out, Deadline deadline);
    /// Receives what is there (at least one byte), waiting up to `deadline`; throws as above.
    std::size_t receiveSome(std::span<std::uint8_t> out, Deadline deadline);

    /// "HOST:PORT" of the peer, for error texts.
    const std::string& peerText() const noexcept { return m_peer; }

private:
    TcpConnection(Fd fd, SocketOps& ops, std::string peer)
        : m_fd(std::move(fd)), m_ops(&ops), m_peer(std::move(peer)) {}
    /// Waits until `events` are ready; throws LibraryError on time-out.
    void waitFor(short events, Deadline deadline);

    Fd m_fd;
    SocketOps* m_ops = &SocketOps::system();
    std::string m_peer;
};

/// Dotted text of an IPv4 address in network byte order.
std::string ipv4Text(std::uint32_t ipv4);

} // namespace vxi11
