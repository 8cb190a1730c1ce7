#include "FakeAdapter.h"

#include "net/TransportError.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace gateway::adapter::testing {

FakeAdapter::FakeAdapter(Flavour flavour, Transport transport)
    : m_flavour(flavour), m_transport(transport) {
    if (transport == Transport::Pty) {
        char dir[] = "/tmp/siclquill-adapter-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        m_dir = dir;
        m_device = m_dir + "/by-id-adapter";
    }
    openEnd();
    if (transport == Transport::Tcp) {
        m_device = "127.0.0.1:" + std::to_string(m_port);
    }
    m_thread = std::thread([this] { run(); });
}

FakeAdapter::~FakeAdapter() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_thread.join();
    closeEnd();
    if (!m_dir.empty()) {
        ::rmdir(m_dir.c_str());
    }
}

void FakeAdapter::openEnd() {
    if (m_transport == Transport::Tcp) {
        m_listener = net::TcpListener::open("127.0.0.1", m_port, 1);
        m_port = m_listener.port();
        return;
    }
    m_master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!m_master.valid() || ::grantpt(m_master.get()) != 0 || ::unlockpt(m_master.get()) != 0) {
        throw std::runtime_error("posix_openpt");
    }
    const std::string slave = ::ptsname(m_master.get());
    // Held open by the adapter itself, so the master never reads as hung up while no driver
    // has the slave open; raw from the start, as a serial port is.
    m_slave.reset(::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios tio{};
    ::tcgetattr(m_slave.get(), &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave.get(), TCSANOW, &tio);
    ::unlink(m_device.c_str());
    if (::symlink(slave.c_str(), m_device.c_str()) != 0) {
        throw std::runtime_error("symlink");
    }
}

void FakeAdapter::closeEnd() {
    m_connection.close();
    m_listener.close();
    m_slave.reset();
    m_master.reset();
    if (m_transport == Transport::Pty) {
        ::unlink(m_device.c_str()); // as udev takes a device's link away when it goes
    }
    m_line.clear();
    m_escape = false;
}

bool FakeAdapter::receive(Bytes& into) {
    into.resize(4096);
    if (m_transport == Transport::Pty) {
        pollfd p{m_master.get(), POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0 || (p.revents & POLLIN) == 0) {
            return false;
        }
        const ssize_t n = ::read(m_master.get(), into.data(), into.size());
        into.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return n > 0;
    }
    if (!m_connection.isOpen()) {
        if (auto accepted = m_listener.accept(net::TcpListener::Mode::NonBlocking,
                                              net::Deadline::after(Millis(10)))) {
            m_connection = std::move(accepted->connection);
        }
        return false;
    }
    try {
        into.resize(m_connection.receiveSome(into, net::Deadline::after(Millis(10))));
        return true;
    } catch (const net::TransportError& e) {
        if (e.kind() != net::TransportError::Kind::Timeout) {
            m_connection.close(); // the host left: the next one may come
        }
        return false;
    }
}

void FakeAdapter::emit(std::string_view bytes) {
    if (m_transport == Transport::Tcp) {
        try {
            m_connection.sendAll(
                {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()},
                net::Deadline::after(Millis(5000)));
        } catch (const net::TransportError&) {
        }
        return;
    }
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::write(m_master.get(), bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

void FakeAdapter::run() {
    Bytes in;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (m_stop) {
                return;
            }
            if (m_unplug || m_plugIn) {
                m_unplug ? closeEnd() : openEnd();
                m_unplug = m_plugIn = false;
                m_changed.notify_all();
            }
            if (!m_master.valid() && !m_listener.isOpen()) {
                m_changed.wait_for(lock, Millis(10));
                continue;
            }
        }
        if (receive(in) && std::chrono::steady_clock::now() >= deafUntil()) {
            for (std::uint8_t b : in) {
                take(b);
            }
        }
    }
}

void FakeAdapter::take(std::uint8_t b) {
    if (m_escape) {
        m_leadEscaped = m_leadEscaped || m_line.size() < 2;
        m_line.push_back(b);
        m_escape = false;
    } else if (b == kEsc) {
        m_escape = true;
        return;
    } else if (b == '\r' || b == '\n') {
        const bool command =
            !m_leadEscaped && m_line.size() >= 2 && m_line[0] == '+' && m_line[1] == '+';
        if (!m_line.empty()) { // an empty line is dropped
            line(m_line, command);
        }
        m_line.clear();
        m_leadEscaped = false;
        return;
    } else {
        m_line.push_back(b);
    }
    // An AR488's line buffer holds 128 bytes: a longer data line goes out piece by piece.
    const bool command =
        !m_leadEscaped && m_line.size() >= 2 && m_line[0] == '+' && m_line[1] == '+';
    if (m_flavour == Flavour::Ar488 && !command && m_line.size() == kAr488Piece) {
        dataLine(m_line);
        m_line.clear();
        m_leadEscaped = true; // the rest of the line is data still
    }
}

void FakeAdapter::line(const Bytes& bytes, bool command) {
    if (command) {
        this->command(std::string(bytes.begin() + 2, bytes.end()));
    } else {
        dataLine(bytes);
    }
}

void FakeAdapter::dataLine(const Bytes& bytes) {
    static const char* const kTerminators[] = {"\r\n", "\r", "\n", ""};
    BusWrite w{m_address, bytes, m_eoi};
    for (const char* t = kTerminators[m_eos]; *t != 0; ++t) {
        w.bytes.push_back(static_cast<std::uint8_t>(*t));
    }
    std::lock_guard lock(m_mutex);
    m_writes.push_back(std::move(w));
    m_changed.notify_all();
}

} // namespace gateway::adapter::testing
