#include "gateway/Server.h"

#include "net/TransportError.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace gateway {

using net::TcpListener;
using net::TransportError;
using net::UdpSocket;

namespace {

/// Connections waiting to be accepted on each listener.
constexpr int kBacklog = 64;
/// TCP and UDP share the portmapper's port number; with port 0 the UDP side may find the
/// number the kernel chose for TCP taken, so binding is tried this often.
constexpr int kPortmapperBindAttempts = 20;
/// The accept loop looks for finished connections at least this often.
constexpr int kReapIntervalMs = 1000;
/// Largest portmapper datagram received.
constexpr std::size_t kMaxDatagram = 8800;

} // namespace

Server::~Server() {
    stop();
}

bool Server::bindPortmapper(std::string* error) {
    for (int attempt = 0; attempt < kPortmapperBindAttempts; ++attempt) {
        m_portmapTcp = TcpListener::open(m_config.listenAddress, m_config.portmapperPort, kBacklog);
        try {
            m_portmapUdp = UdpSocket::open(m_config.listenAddress, m_portmapTcp.port());
            return true;
        } catch (const TransportError& e) {
            if (error != nullptr) {
                *error = e.detail();
            }
            m_portmapTcp.close();
            if (m_config.portmapperPort != 0) {
                return false;
            }
        }
    }
    return false;
}

void Server::addService(StreamService& service, std::uint16_t port) {
    Stream& stream = m_streams.emplace_back();
    stream.service = &service;
    stream.wantedPort = port;
}

std::uint16_t Server::portOf(const StreamService& service) const noexcept {
    for (const Stream& stream : m_streams) {
        if (stream.service == &service) {
            return stream.listener.port();
        }
    }
    return 0;
}

bool Server::open(bool servePortmapper, std::string* error) {
    int wake[2] = {-1, -1};
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        if (error != nullptr) {
            *error = "pipe failed";
        }
        return false;
    }
    m_wakeRead.reset(wake[0]);
    m_wakeWrite.reset(wake[1]);
    try {
        if (servePortmapper && !bindPortmapper(error)) {
            closeSockets();
            return false;
        }
        m_core = TcpListener::open(m_config.listenAddress, 0, kBacklog);
        m_abort = TcpListener::open(m_config.listenAddress, 0, kBacklog);
        for (Stream& stream : m_streams) {
            stream.listener =
                TcpListener::open(m_config.listenAddress, stream.wantedPort, kBacklog);
        }
    } catch (const TransportError& e) {
        if (error != nullptr) {
            *error = e.detail();
        }
        closeSockets();
        return false;
    }
    return true;
}

void Server::closeSockets() {
    m_portmapTcp.close();
    m_portmapUdp.close();
    m_core.close();
    m_abort.close();
    for (Stream& stream : m_streams) {
        stream.listener.close();
    }
    m_wakeRead.reset();
    m_wakeWrite.reset();
}

void Server::start() {
    m_acceptThread = std::thread([this] { acceptLoop(); });
    if (m_portmapUdp.isOpen()) {
        m_udpThread = std::thread([this] { udpLoop(); });
    }
}

void Server::stop() {
    if (m_wakeWrite.valid()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeWrite.get(), &byte, 1);
    }
    if (m_acceptThread.joinable()) {
        m_acceptThread.join();
    }
    if (m_udpThread.joinable()) {
        m_udpThread.join();
    }
    std::list<Slot> all;
    {
        std::lock_guard lk(m_mutex);
        all.swap(m_slots);
        // Wakes every connection thread waiting in a receive.
        for (Slot& slot : all) {
            slot.connection->shutdown();
        }
    }
    for (Slot& slot : all) {
        slot.thread.join();
    }
    closeSockets();
}

void Server::reapFinished() {
    std::list<Slot> finished;
    {
        std::lock_guard lk(m_mutex);
        for (auto it = m_slots.begin(); it != m_slots.end();) {
            auto next = std::next(it);
            if (it->connection->done()) {
                finished.splice(finished.end(), m_slots, it);
            }
            it = next;
        }
    }
    for (Slot& slot : finished) {
        slot.thread.join();
    }
}

void Server::acceptLoop() {
    const std::pair<TcpListener*, Service> rpc[] = {
        {&m_core, Service::Core}, {&m_abort, Service::Abort}, {&m_portmapTcp, Service::Portmap}};
    for (;;) {
        std::vector<pollfd> p = {{m_wakeRead.get(), POLLIN, 0}};
        for (const auto& [listener, service] : rpc) {
            p.push_back({listener->isOpen() ? listener->fd() : -1, POLLIN, 0});
        }
        for (const Stream& stream : m_streams) {
            p.push_back({stream.listener.fd(), POLLIN, 0});
        }
        if (::poll(p.data(), p.size(), kReapIntervalMs) < 0 && errno != EINTR) {
            return;
        }
        if (p[0].revents != 0) {
            return;
        }
        reapFinished();
        for (std::size_t i = 1; i < p.size(); ++i) {
            if ((p[i].revents & POLLIN) == 0) {
                continue;
            }
            const std::size_t at = i - 1;
            if (at < std::size(rpc)) {
                accept(*rpc[at].first, rpc[at].second);
            } else {
                accept(m_streams[at - std::size(rpc)]);
            }
        }
    }
}

Server::Slot* Server::newSlot(std::unique_ptr<ServedConnection> connection, Connection* rpc) {
    // Called with m_mutex held.
    if (m_slots.size() >= m_config.limits.maxConnections) {
        return nullptr;
    }
    Slot& slot = m_slots.emplace_back();
    slot.connection = std::move(connection);
    slot.rpc = rpc;
    slot.thread = std::thread([c = slot.connection.get()] { c->serve(); });
    return &slot;
}

void Server::accept(TcpListener& listener, Service service) {
    auto accepted = listener.accept(TcpListener::Mode::Blocking);
    if (!accepted) {
        return;
    }
    if (m_config.limits.idleTimeout.count() > 0) {
        accepted->connection.setReceiveTimeout(m_config.limits.idleTimeout);
    }
    std::lock_guard lk(m_mutex);
    if (m_slots.size() >= m_config.limits.maxConnections) {
        return; // over the limit: refused by closing at once
    }
    auto connection = std::make_unique<Connection>(
        m_nextId++, service, accepted->peerIpv4, std::move(accepted->connection), m_config.limits,
        m_config.log, static_cast<ConnectionHost&>(*this));
    Connection* rpc = connection.get();
    newSlot(std::move(connection), rpc);
}

void Server::accept(Stream& stream) {
    auto accepted = stream.listener.accept(TcpListener::Mode::Blocking);
    if (!accepted) {
        return;
    }
    std::lock_guard lk(m_mutex);
    if (m_slots.size() >= m_config.limits.maxConnections) {
        stream.service->refuse(accepted->connection);
        return;
    }
    newSlot(stream.service->accept(std::move(accepted->connection), accepted->peerIpv4), nullptr);
}

void Server::udpLoop() {
    std::vector<std::uint8_t> buffer(kMaxDatagram);
    for (;;) {
        pollfd p[2] = {{m_wakeRead.get(), POLLIN, 0}, {m_portmapUdp.fd(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (p[0].revents != 0) {
            return;
        }
        if ((p[1].revents & POLLIN) == 0) {
            continue;
        }
        const auto got = m_portmapUdp.receiveFrom(buffer);
        if (!got) {
            continue;
        }
        CallContext call;
        call.peerIpv4 = got->fromIpv4;
        const Outcome out = m_dispatch.handle(call, Service::Portmap,
                                              vxi11::xdr::ByteView(buffer.data(), got->size), true);
        if (!out.reply.empty()) {
            m_portmapUdp.sendTo(out.reply, got->fromIpv4, got->fromPort);
        }
    }
}

std::size_t Server::liveConnections() const {
    std::lock_guard lk(m_mutex);
    std::size_t n = 0;
    for (const Slot& slot : m_slots) {
        n += slot.connection->done() ? 0 : 1;
    }
    return n;
}

Outcome Server::handle(const CallContext& call, Service service, vxi11::xdr::ByteView record) {
    return m_dispatch.handle(call, service, record, false);
}

bool Server::mayStayIdle(const Connection& connection) const {
    // An abort connection names no link until it is used, and a client opens it once for all
    // its links and may leave it silent for hours: it counts as held while any core
    // connection from the same address holds a link.
    std::vector<std::uint64_t> owners{connection.id()};
    if (connection.service() == Service::Abort) {
        std::lock_guard lk(m_mutex);
        for (const Slot& slot : m_slots) {
            const Connection* c = slot.rpc;
            if (c != nullptr && c->service() == Service::Core && c->peer() == connection.peer()) {
                owners.push_back(c->id());
            }
        }
    }
    return m_links.anyLinkOf(owners);
}

void Server::ended(const Connection& connection) {
    m_interrupts.close(connection.id());
    m_links.dropConnection(connection.id());
}

} // namespace gateway
