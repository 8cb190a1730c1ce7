#include "HislipPeer.h"

#include "net/TransportError.h"
#include "net/WaitAny.h"

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <unistd.h>

namespace testsupport {

using namespace std::chrono_literals;
using hislip::MessageReader;

namespace {

/// Waits until `fd` is readable or the peer stops; false on stop or time-out.
bool readable(int fd, int stopFd, net::Deadline deadline) {
    const std::array<net::Watched, 2> watched{net::Watched{fd, net::Watch::Readable},
                                              net::Watched{stopFd, net::Watch::Readable}};
    const std::uint32_t ready = net::waitAny(watched, deadline);
    return (ready & 1u) != 0 && (ready & 2u) == 0;
}

} // namespace

PeerChannel::PeerChannel(net::TcpConnection connection, int stopFd)
    : m_connection(std::move(connection)), m_stopFd(stopFd) {}

std::optional<Msg> PeerChannel::receive(std::chrono::milliseconds timeout) {
    const net::Deadline deadline = net::Deadline::after(timeout);
    std::uint8_t buffer[65536];
    for (;;) {
        const auto r = m_reader.feed(m_pending);
        m_pending.erase(m_pending.begin(),
                        m_pending.begin() + static_cast<std::ptrdiff_t>(r.consumed));
        if (r.status == MessageReader::Status::Message) {
            return Msg{m_reader.header(),
                       hislip::Bytes(m_reader.payload().begin(), m_reader.payload().end())};
        }
        if (r.status != MessageReader::Status::NeedMore) {
            return std::nullopt;
        }
        if (!m_connection.isOpen() || !readable(m_connection.fd(), m_stopFd, deadline)) {
            return std::nullopt;
        }
        try {
            const std::size_t n = m_connection.receiveSome(buffer, deadline);
            m_pending.insert(m_pending.end(), buffer, buffer + n);
        } catch (const net::TransportError&) {
            return std::nullopt;
        }
    }
}

bool PeerChannel::send(std::span<const std::uint8_t> bytes) {
    try {
        m_connection.sendAll(bytes, net::Deadline::after(10s));
        return true;
    } catch (const net::TransportError&) {
        return false;
    }
}

bool PeerChannel::sendResponse(std::span<const std::uint8_t> payload, std::uint32_t messageId,
                               std::size_t piece) {
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(piece, payload.size() - at);
        const bool last = at + n == payload.size();
        const hislip::HeaderBytes head = hislip::dataHeader(last, 0, messageId, n);
        try {
            m_connection.sendAll({std::span<const std::uint8_t>(head), payload.subspan(at, n)},
                                 net::Deadline::after(30s));
        } catch (const net::TransportError&) {
            return false;
        }
        at += n;
    } while (at < payload.size());
    return true;
}

bool PeerChannel::waitClosed(std::chrono::milliseconds timeout) {
    const net::Deadline deadline = net::Deadline::after(timeout);
    std::uint8_t sink[4096];
    while (m_connection.isOpen() && readable(m_connection.fd(), m_stopFd, deadline)) {
        try {
            m_connection.receiveSome(sink, deadline);
        } catch (const net::TransportError& e) {
            return e.kind() != net::TransportError::Kind::Timeout;
        }
    }
    return false;
}

PeerChannel PeerSession::accept() {
    const net::Deadline deadline = net::Deadline::after(5s);
    if (!readable(listener->fd(), stopFd, deadline)) {
        return {};
    }
    auto accepted = listener->accept(net::TcpListener::Mode::NonBlocking);
    if (!accepted) {
        return {};
    }
    return PeerChannel(std::move(accepted->connection), stopFd);
}

HislipPeer::HislipPeer(PeerConfig config, Script script)
    : m_config(config), m_script(std::move(script)),
      m_listener(net::TcpListener::open(config.listenAddress, 0, 8)) {
    if (::pipe2(m_stopPipe, O_CLOEXEC) != 0) {
        throw net::TransportError(net::TransportError::Kind::System, "pipe");
    }
    m_thread = std::thread([this] { serve(); });
}

HislipPeer::~HislipPeer() {
    const char stop = 1;
    [[maybe_unused]] const auto n = ::write(m_stopPipe[1], &stop, 1);
    m_thread.join();
    ::close(m_stopPipe[0]);
    ::close(m_stopPipe[1]);
}

bool HislipPeer::handshake(PeerSession& s) {
    const auto init = s.sync.receive();
    if (!init || init->header.type != hislip::MessageType::Initialize) {
        return false;
    }
    s.initialize = *init;
    s.sync.send(hislip::initializeResponse(m_config.overlapped, hislip::kProtocolVersion,
                                           m_config.sessionId));
    s.async = s.accept();
    const auto asyncInit = s.async.receive();
    if (!asyncInit || asyncInit->header.type != hislip::MessageType::AsyncInitialize) {
        return false;
    }
    s.async.send(hislip::asyncInitializeResponse(m_config.vendor));
    const auto size = s.async.receive();
    if (!size || size->header.type != hislip::MessageType::AsyncMaximumMessageSize) {
        return false;
    }
    s.maxSize = *size;
    return s.async.send(hislip::asyncMaximumMessageSizeResponse(m_config.maxMessage));
}

void HislipPeer::serve() {
    for (;;) {
        PeerSession session;
        session.listener = &m_listener;
        session.stopFd = m_stopPipe[0];
        session.sync = session.accept();
        if (!session.sync.isOpen()) {
            if (!readable(m_stopPipe[0], -1, net::Deadline::after({}))) {
                continue; // a time-out with nobody connecting: keep listening
            }
            return;
        }
        if (!m_config.handshake || handshake(session)) {
            m_script(session);
        }
        std::lock_guard lock(m_mutex);
        ++m_finished;
        m_done.notify_all();
    }
}

bool HislipPeer::waitSessions(int n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_done.wait_for(lock, timeout, [&] { return m_finished >= n; });
}

} // namespace testsupport
