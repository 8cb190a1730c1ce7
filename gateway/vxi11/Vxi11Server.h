#pragma once
// VXI-11 on the gateway's server: the portmapper (TCP and UDP on one port, or registration with
// the system's), the core and abort channels as services of the protocol-neutral Server, and
// what a connection asks of whoever accepted it: its records dispatched, whether it may stay
// idle, and what goes when it ends. The three channels share one cap on connections.

#include "gateway/serving/Server.h"
#include "gateway/vxi11/Connection.h"
#include "gateway/vxi11/Dispatch.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace gateway {

class LinkTable;
class InterruptChannels;

/// Where and how VXI-11 is served.
struct Vxi11Settings {
    std::string listenAddress;
    std::uint16_t portmapperPort = 0; ///< its own portmapper's port (0: a free one)
    const SimulatorLimits* limits = nullptr;
    const Log* log = nullptr;
};

class Vxi11Server final : private ConnectionHost {
public:
    Vxi11Server(Vxi11Settings settings, Dispatch& dispatch, LinkTable& links,
                InterruptChannels& interrupts);
    Vxi11Server(const Vxi11Server&) = delete;
    Vxi11Server& operator=(const Vxi11Server&) = delete;

    /// Adds the core and abort channels to `server` and, with `servePortmapper`, a portmapper
    /// bound now on TCP and UDP alike. Before the server opens. False with a reason in `error`.
    bool attach(Server& server, bool servePortmapper, std::string* error);

    std::uint16_t portmapperPort() const noexcept { return m_portmapperPort; }
    std::uint16_t corePort(const Server& server) const noexcept { return server.portOf(m_core); }
    std::uint16_t abortPort(const Server& server) const noexcept { return server.portOf(m_abort); }

private:
    /// One listener's program: its connections, and the refusal of one over the cap.
    class Channel final : public StreamService {
    public:
        Channel(Vxi11Server& owner, Service service) : m_owner(owner), m_service(service) {}
        std::unique_ptr<ServedConnection> accept(net::TcpConnection socket,
                                                 const net::IpAddress& peer) override;
        void refuse(net::TcpConnection& socket) override;
        std::string_view name() const override { return "vxi11"; }

    private:
        Vxi11Server& m_owner;
        Service m_service;
    };
    /// The portmapper over UDP.
    class PortmapDatagrams final : public DatagramService {
    public:
        explicit PortmapDatagrams(Dispatch& dispatch) : m_dispatch(dispatch) {}
        std::vector<std::uint8_t> handle(std::span<const std::uint8_t> datagram,
                                         const net::IpAddress& from) override;

    private:
        Dispatch& m_dispatch;
    };
    /// A live connection, as mayStayIdle asks about it.
    struct Live {
        Service service = Service::Core;
        net::IpAddress peer;
    };

    Outcome handle(const CallContext& call, Service service, vxi11::xdr::ByteView record) override;
    bool mayStayIdle(const Connection& connection) const override;
    void ended(const Connection& connection) override;

    Vxi11Settings m_settings;
    Dispatch& m_dispatch;
    LinkTable& m_links;
    InterruptChannels& m_interrupts;
    Channel m_core{*this, Service::Core};
    Channel m_abort{*this, Service::Abort};
    Channel m_portmap{*this, Service::Portmap};
    PortmapDatagrams m_portmapUdp{m_dispatch};
    Server::Group m_group;
    std::uint16_t m_portmapperPort = 0;
    mutable std::mutex m_mutex; ///< guards the ids and the live connections
    std::uint64_t m_nextId = 1;
    std::map<std::uint64_t, Live> m_live;
};

} // namespace gateway
