#pragma once
// The host's side of a served adapter: a TCP port that takes one client at a time, or a
// pseudo-terminal that any program may open as it would a USB adapter's serial port. Both wait
// with the stop signal beside them, so stop() reaches a wait at once.

#include "gateway/emulator/Emulator.h"
#include "gateway/emulator/StopSignal.h"
#include "net/Fd.h"
#include "net/Listeners.h"
#include "net/TcpConnection.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace gateway::emulator {

/// Where the host's bytes come from and the adapter's go. Used by the adapter's thread only.
class HostPort : public HostOutput {
public:
    /// Waits until a host is there; throws Stopped.
    virtual void awaitHost() = 0;
    /// Some bytes from the host into `out`: their count, 0 once the host has gone (after its
    /// last bytes). Throws Stopped.
    virtual std::size_t receive(std::span<std::uint8_t> out) = 0;
    /// After a host has gone: nothing of it is left for the next one.
    virtual void hostGone() = 0;
    /// What a client opens: the TCP port, or the terminal's path.
    virtual std::string where() const = 0;
};

/// A TCP port. One client is served at a time, as by a network adapter; a second one is
/// accepted by the system and waits, unanswered, until the first has gone.
class TcpHostPort final : public HostPort {
public:
    /// Listens on the numeric IPv4 `address` and `port` (0: a free one); throws
    /// net::TransportError when it cannot.
    TcpHostPort(const StopSignal& stop, const std::string& address, std::uint16_t port);

    void awaitHost() override;
    std::size_t receive(std::span<std::uint8_t> out) override;
    void send(std::span<const std::uint8_t> bytes) override;
    void hostGone() override { m_client.close(); }
    std::string where() const override { return std::to_string(m_listener.port()); }

private:
    /// Waits until `fd` is ready for `readable` (or not: writable) bytes; throws Stopped.
    void wait(int fd, bool readable) const;

    const StopSignal& m_stop;
    net::TcpListener m_listener;
    net::TcpConnection m_client;
};

/// A pseudo-terminal in raw mode; clients open its slave path. The adapter holds the slave
/// open itself, so the terminal, its raw mode and the adapter outlive every client, and it
/// watches the path for opens and closes: when the last client has closed, the replies it
/// left unread are dropped and an exclusive open (TIOCEXCL) it made is lifted, so that the
/// next client can open it.
class PtyHostPort final : public HostPort {
public:
    /// Opens the terminal; throws std::system_error when it cannot.
    explicit PtyHostPort(const StopSignal& stop);

    void awaitHost() override {}
    std::size_t receive(std::span<std::uint8_t> out) override;
    void send(std::span<const std::uint8_t> bytes) override;
    void hostGone() override;
    std::string where() const override { return m_path; }

private:
    /// Waits for the master to be ready or a client to open or close; throws Stopped.
    void wait(bool readable);
    /// Counts the clients that opened and closed the slave since the last look.
    void takeEvents();

    const StopSignal& m_stop;
    net::Fd m_master;
    net::Fd m_slave; ///< the adapter's own hold on the slave
    net::Fd m_watch; ///< inotify on the slave's path
    std::string m_path;
    int m_clients = 0;
    bool m_departed = false; ///< the last client closed, and that is not handled yet
};

} // namespace gateway::emulator
