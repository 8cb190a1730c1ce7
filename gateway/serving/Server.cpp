#include "gateway/serving/Server.h"

#include "net/TransportError.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace gateway {

using net::TcpListener;
using net::TransportError;

namespace {

/// Connections waiting to be accepted on each listener.
constexpr int kBacklog = 64;
/// The accept loop looks for finished connections at least this often.
constexpr int kReapIntervalMs = 1000;
/// Largest datagram received.
constexpr std::size_t kMaxDatagram = 8800;

} // namespace

Server::~Server() {
    stop();
}

void Server::addService(StreamService& service, std::uint16_t port, Group& group) {
    Stream& stream = m_streams.emplace_back();
    stream.service = &service;
    stream.wantedPort = port;
    stream.group = &group;
}

void Server::addService(StreamService& service, net::TcpListener listener, Group& group) {
    Stream& stream = m_streams.emplace_back();
    stream.service = &service;
    stream.wantedPort = listener.port();
    stream.listener = std::move(listener);
    stream.group = &group;
}

void Server::addDatagrams(DatagramService& service, net::UdpSocket socket) {
    Datagrams& d = m_datagrams.emplace_back();
    d.service = &service;
    d.socket = std::move(socket);
}

std::uint16_t Server::portOf(const StreamService& service) const noexcept {
    for (const Stream& stream : m_streams) {
        if (stream.service == &service) {
            return stream.listener.port();
        }
    }
    return 0;
}

bool Server::open(std::string* error) {
    int wake[2] = {-1, -1};
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        if (error != nullptr) {
            *error = "pipe failed";
        }
        closeSockets();
        return false;
    }
    m_wakeRead.reset(wake[0]);
    m_wakeWrite.reset(wake[1]);
    try {
        for (Stream& stream : m_streams) {
            if (!stream.listener.isOpen()) {
                stream.listener = TcpListener::open(m_address, stream.wantedPort, kBacklog);
            }
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
    for (Stream& stream : m_streams) {
        stream.listener.close();
    }
    for (Datagrams& d : m_datagrams) {
        d.socket.close();
    }
    m_wakeRead.reset();
    m_wakeWrite.reset();
}

void Server::start() {
    m_acceptThread = std::thread([this] { acceptLoop(); });
    for (Datagrams& d : m_datagrams) {
        m_udpThreads.emplace_back([this, &d] { udpLoop(d); });
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
    for (std::thread& t : m_udpThreads) {
        t.join();
    }
    m_udpThreads.clear();
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
                --it->group->live;
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
    for (;;) {
        std::vector<pollfd> p = {{m_wakeRead.get(), POLLIN, 0}};
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
        std::size_t i = 1;
        for (Stream& stream : m_streams) {
            if ((p[i++].revents & POLLIN) != 0) {
                accept(stream);
            }
        }
    }
}

void Server::accept(Stream& stream) {
    auto accepted = stream.listener.accept(TcpListener::Mode::Blocking);
    if (!accepted) {
        return;
    }
    {
        std::lock_guard lk(m_mutex);
        if (stream.group->live < stream.group->cap) {
            ++stream.group->live;
            Slot& slot = m_slots.emplace_back();
            slot.group = stream.group;
            slot.connection =
                stream.service->accept(std::move(accepted->connection), accepted->peer);
            slot.thread = std::thread([c = slot.connection.get()] { c->serve(); });
            return;
        }
    }
    // Over the cap: the client hears why, if its protocol can say it, and the socket closes.
    stream.service->refuse(accepted->connection);
}

void Server::udpLoop(Datagrams& datagrams) {
    std::vector<std::uint8_t> buffer(kMaxDatagram);
    for (;;) {
        pollfd p[2] = {{m_wakeRead.get(), POLLIN, 0}, {datagrams.socket.fd(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (p[0].revents != 0) {
            return;
        }
        if ((p[1].revents & POLLIN) == 0) {
            continue;
        }
        const auto got = datagrams.socket.receiveFrom(buffer);
        if (!got) {
            continue;
        }
        const std::vector<std::uint8_t> answer =
            datagrams.service->handle(std::span<const std::uint8_t>(buffer.data(), got->size),
                                      net::IpAddress::fromIpv4(got->fromIpv4));
        if (!answer.empty()) {
            datagrams.socket.sendTo(answer, got->fromIpv4, got->fromPort);
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

} // namespace gateway
