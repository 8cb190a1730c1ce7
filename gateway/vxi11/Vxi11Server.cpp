#include "gateway/vxi11/Vxi11Server.h"

#include "gateway/vxi11/AbortService.h"
#include "gateway/vxi11/LinkTable.h"
#include "net/TransportError.h"
#include "vxi11/codec/LinkMessages.h"
#include "vxi11/codec/Procedure.h"
#include "vxi11/codec/RecordMarking.h"
#include "vxi11/rpc/RecordStream.h"

#include <chrono>

namespace gateway {

using net::TransportError;

namespace {

/// Connections waiting to be accepted on the portmapper's listener.
constexpr int kBacklog = 64;
/// TCP and UDP share the portmapper's port number; with port 0 the UDP side may find the
/// number the kernel chose for TCP taken, so binding is tried this often.
constexpr int kPortmapperBindAttempts = 20;
/// How long a refused client may take to send its first call, and its answer to go out.
constexpr std::chrono::milliseconds kRefusalLimit{100};
/// The largest first call a refused client's answer is looked for in.
constexpr std::size_t kRefusalRecord = 4096;

/// The answer to a call that the gateway has no room for: create_link, the call every client
/// begins with, is answered "out of resources" (9), as a full gateway does; anything else is
/// not answered.
vxi11::xdr::Bytes refusal(vxi11::xdr::ByteView record) {
    const vxi11::rpc::ParsedCall call = vxi11::rpc::parseCall(record);
    if (call.status != vxi11::rpc::ParsedCall::Status::Ok) {
        return {};
    }
    if (call.header.prog == vxi11::kDeviceCore && call.header.proc == vxi11::proc::kCreateLink) {
        vxi11::CreateLinkResp full;
        full.error = vxi11::err::kOutOfResources;
        return vxi11::encodeReplyFor<vxi11::CreateLink>(call.header.xid, full);
    }
    return {};
}

} // namespace

Vxi11Server::Vxi11Server(Vxi11Settings settings, Dispatch& dispatch, LinkTable& links,
                         InterruptChannels& interrupts)
    : m_settings(std::move(settings)), m_dispatch(dispatch), m_links(links),
      m_interrupts(interrupts) {
    m_group.cap = m_settings.limits->maxConnections;
}

bool Vxi11Server::attach(Server& server, bool servePortmapper, std::string* error) {
    if (servePortmapper) {
        bool bound = false;
        for (int attempt = 0; attempt < kPortmapperBindAttempts && !bound; ++attempt) {
            try {
                net::TcpListener tcp = net::TcpListener::open(m_settings.listenAddress,
                                                              m_settings.portmapperPort, kBacklog);
                net::UdpSocket udp = net::UdpSocket::open(m_settings.listenAddress, tcp.port());
                m_portmapperPort = tcp.port();
                server.addService(m_portmap, std::move(tcp), m_group);
                server.addDatagrams(m_portmapUdp, std::move(udp));
                bound = true;
            } catch (const TransportError& e) {
                if (error != nullptr) {
                    *error = e.detail();
                }
                if (m_settings.portmapperPort != 0) {
                    return false;
                }
            }
        }
        if (!bound) {
            return false;
        }
    }
    server.addService(m_core, 0, m_group);
    server.addService(m_abort, 0, m_group);
    return true;
}

std::unique_ptr<ServedConnection> Vxi11Server::Channel::accept(net::TcpConnection socket,
                                                               const net::IpAddress& peer) {
    const SimulatorLimits& limits = *m_owner.m_settings.limits;
    if (limits.idleTimeout.count() > 0) {
        socket.setReceiveTimeout(limits.idleTimeout);
    }
    std::uint64_t id = 0;
    {
        const std::lock_guard lk(m_owner.m_mutex);
        id = m_owner.m_nextId++;
        m_owner.m_live[id] = Live{m_service, peer};
    }
    return std::make_unique<Connection>(id, m_service, peer, std::move(socket), limits,
                                        *m_owner.m_settings.log,
                                        static_cast<ConnectionHost&>(m_owner));
}

void Vxi11Server::Channel::refuse(net::TcpConnection& socket) {
    // The client hears that the gateway is full rather than that its connection was lost: its
    // first call is answered so, if it comes at once.
    try {
        socket.setReceiveTimeout(kRefusalLimit);
        vxi11::rpc::RecordStream stream(kRefusalRecord, 1);
        const auto got = stream.readBlocking(socket, kRefusalLimit);
        if (got.status != vxi11::rpc::RecordStream::Status::Record) {
            return;
        }
        const vxi11::xdr::Bytes reply = refusal(got.record);
        if (reply.empty()) {
            return;
        }
        const auto mark =
            vxi11::rpc::encodeRecordMark({static_cast<std::uint32_t>(reply.size()), true});
        socket.sendAll({mark, reply}, net::Deadline::after(kRefusalLimit));
    } catch (const TransportError&) {
        // Closed all the same.
    }
}

std::vector<std::uint8_t>
Vxi11Server::PortmapDatagrams::handle(std::span<const std::uint8_t> datagram,
                                      const net::IpAddress& from) {
    CallContext call;
    call.peer = from;
    Outcome out = m_dispatch.handle(call, Service::Portmap,
                                    vxi11::xdr::ByteView(datagram.data(), datagram.size()), true);
    return std::move(out.reply);
}

Outcome Vxi11Server::handle(const CallContext& call, Service service, vxi11::xdr::ByteView record) {
    return m_dispatch.handle(call, service, record, false);
}

bool Vxi11Server::mayStayIdle(const Connection& connection) const {
    // An abort connection names no link until it is used, and a client opens it once for all
    // its links and may leave it silent for hours: it counts as held while any core
    // connection from the same address holds a link.
    std::vector<std::uint64_t> owners{connection.id()};
    if (connection.service() == Service::Abort) {
        const std::lock_guard lk(m_mutex);
        for (const auto& [id, live] : m_live) {
            if (live.service == Service::Core && live.peer == connection.peer()) {
                owners.push_back(id);
            }
        }
    }
    return m_links.anyLinkOf(owners);
}

void Vxi11Server::ended(const Connection& connection) {
    m_interrupts.close(connection.id());
    m_links.dropConnection(connection.id());
    const std::lock_guard lk(m_mutex);
    m_live.erase(connection.id());
}

} // namespace gateway
