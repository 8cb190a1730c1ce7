#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

/// One accepted connection of a ScriptServer, as its script sees it. Every wait also ends
/// when the server shuts down, so a script that stays silent never hangs a test.
class Peer {
public:
    Peer(int fd, int stopFd) : m_fd(fd), m_stopFd(stopFd) {}
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    /// Reads exactly `n` bytes; nullopt when the client closed or the server stops.
    std::optional<Bytes> readExact(std::size_t n);
    /// Reads one record-marked message (all fragments); nullopt on close or stop.
    std::optional<Bytes> readRecord();
    /// Sends the bytes as they are (no record marking).
    void sendRaw(std::span<const std::uint8_t> bytes);
    /// Sends one message as a single last fragment.
    void sendRecord(std::span<const std::uint8_t> body);
    /// Waits until the client closes the connection or the server stops.
    void waitClosed();
    /// Closes the connection now.
    void close();
    /// Resets the connection (RST instead of FIN).
    void reset();

private:
    bool waitReadable();
    int m_fd;
    int m_stopFd;
};

/// A scriptable TCP server on 127.0.0.1 (or ::1), port 0: each accepted connection runs the
/// script on its own thread. For fault tests: silent peers, replies cut short, garbage, wrong
/// xids.
class ScriptServer {
public:
    using Script = std::function<void(Peer&)>;
    enum class Family { Ipv4, Ipv6 };

    /// Throws std::runtime_error when it cannot listen (::1 on a machine without IPv6).
    explicit ScriptServer(Script script, Family family = Family::Ipv4);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    std::uint16_t port() const noexcept { return m_port; }
    int accepted() const noexcept { return m_accepted.load(); }

private:
    void acceptLoop();

    Script m_script;
    int m_listenFd = -1;
    int m_stopFd = -1; // eventfd, readable once the server stops
    std::uint16_t m_port = 0;
    std::atomic<int> m_accepted{0};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::vector<std::thread> m_peerThreads;
};

/// Big-endian helpers for writing golden bytes in tests.
void put32(Bytes& out, std::uint32_t value);
std::uint32_t get32(std::span<const std::uint8_t> bytes, std::size_t offset);
/// An accepted RPC reply header (24 bytes) for `xid` with accept_stat `status`.
Bytes acceptedReply(std::uint32_t xid, std::uint32_t status = 0);

} // namespace testsupport
