#include "gateway/emulator/HostPort.h"

#include "net/PartialIo.h"
#include "net/TransportError.h"
#include "net/WaitAny.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace gateway::emulator {

namespace {

constexpr int kBacklog = 4;

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

TcpHostPort::TcpHostPort(const StopSignal& stop, const std::string& address, std::uint16_t port)
    : m_stop(stop), m_listener(net::TcpListener::open(address, port, kBacklog)) {}

void TcpHostPort::wait(int fd, bool readable) const {
    const net::Watched watched[] = {{m_stop.fd(), net::Watch::Readable},
                                    {fd, readable ? net::Watch::Readable : net::Watch::Writable}};
    net::waitAny(watched, net::Deadline::never());
    m_stop.check();
}

void TcpHostPort::awaitHost() {
    for (;;) {
        wait(m_listener.fd(), true);
        if (auto accepted = m_listener.accept(net::TcpListener::Mode::NonBlocking)) {
            m_client = std::move(accepted->connection);
            return;
        }
    }
}

std::size_t TcpHostPort::receive(std::span<std::uint8_t> out) {
    for (;;) {
        wait(m_client.fd(), true);
        try {
            if (const auto n = net::receiveNow(m_client, net::SocketOps::system(), out)) {
                return *n;
            }
        } catch (const net::TransportError&) {
            return 0; // closed or reset: either way the client has gone
        }
    }
}

void TcpHostPort::send(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::span<const std::uint8_t> pieces[] = {bytes};
        try {
            bytes = bytes.subspan(net::sendNow(m_client, net::SocketOps::system(), pieces));
        } catch (const net::TransportError&) {
            throw HostGone();
        }
        if (!bytes.empty()) {
            wait(m_client.fd(), false);
        }
    }
}

PtyHostPort::PtyHostPort(const StopSignal& stop) : m_stop(stop) {
    m_master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!m_master.valid() || ::grantpt(m_master.get()) != 0 || ::unlockpt(m_master.get()) != 0) {
        fail("pseudo-terminal");
    }
    std::array<char, PATH_MAX> path{};
    if (::ptsname_r(m_master.get(), path.data(), path.size()) != 0) {
        fail("ptsname");
    }
    m_path = path.data();
    m_slave.reset(::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios raw{};
    if (!m_slave.valid() || ::tcgetattr(m_slave.get(), &raw) != 0) {
        fail(m_path.c_str());
    }
    // Raw 8N1, as a client sets a serial port: binary bytes pass unchanged, nothing echoes.
    ::cfmakeraw(&raw);
    m_watch.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (::tcsetattr(m_slave.get(), TCSANOW, &raw) != 0 || !m_watch.valid() ||
        ::inotify_add_watch(m_watch.get(), m_path.c_str(), IN_OPEN | IN_CLOSE) < 0 ||
        ::fcntl(m_master.get(), F_SETFL, O_NONBLOCK) != 0) {
        fail(m_path.c_str());
    }
}

void PtyHostPort::wait(bool readable) {
    const net::Watched watched[] = {
        {m_stop.fd(), net::Watch::Readable},
        {m_master.get(), readable ? net::Watch::Readable : net::Watch::Writable},
        {m_watch.get(), net::Watch::Readable}};
    const std::uint32_t ready = net::waitAny(watched, net::Deadline::never());
    m_stop.check();
    if ((ready & 4U) != 0) {
        takeEvents();
    }
}

void PtyHostPort::takeEvents() {
    alignas(inotify_event) std::array<char, 4096> events;
    bool closed = false;
    ssize_t n = 0;
    while ((n = ::read(m_watch.get(), events.data(), events.size())) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events.data() + at);
            if ((event->mask & IN_OPEN) != 0) {
                ++m_clients;
            } else if ((event->mask & IN_CLOSE) != 0 && m_clients > 0) {
                --m_clients;
                closed = true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    // A client that closed while the next one opened goes unnoticed: what it left half sent
    // stays, as it would in a serial adapter.
    m_departed = m_clients == 0 && (m_departed || closed);
}

std::size_t PtyHostPort::receive(std::span<std::uint8_t> out) {
    for (;;) {
        const ssize_t n = ::read(m_master.get(), out.data(), out.size());
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fail(m_path.c_str());
        }
        if (m_departed) {
            return 0; // the last client has gone, and every byte it sent was taken
        }
        wait(true);
    }
}

void PtyHostPort::send(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_master.get(), bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fail(m_path.c_str());
        }
        // Nobody takes the bytes: wait for a reader, unless the last client has closed.
        wait(false);
        if (m_departed) {
            throw HostGone();
        }
    }
}

void PtyHostPort::hostGone() {
    m_departed = false;
    ::tcflush(m_slave.get(), TCIFLUSH);
    ::ioctl(m_slave.get(), TIOCNXCL);
}

} // namespace gateway::emulator
