#pragma once
// The simulator's sockets: the portmapper (TCP and UDP), core and abort listeners, the
// listeners of the stream protocols (HiSLIP, the raw socket), the accept and UDP loops, and
// the connection slots with their threads, one cap for every protocol.

#include "gateway/Config.h"
#include "gateway/Connection.h"
#include "gateway/Dispatch.h"
#include "gateway/StreamService.h"
#include "net/Fd.h"
#include "net/Listeners.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gateway {

class Server final : private ConnectionHost {
public:
    Server(const SimulatorConfig& config, Dispatch& dispatch, LinkTable& links,
           InterruptChannels& interrupts)
        : m_config(config), m_dispatch(dispatch), m_links(links), m_interrupts(interrupts) {}
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Serves `service` on `port` (0: a free one) too. Before open().
    void addService(StreamService& service, std::uint16_t port);
    /// Binds the core and abort listeners, the listeners of the added services, and the
    /// portmapper's sockets if `servePortmapper`. False with a reason in `error`; nothing stays
    /// open then.
    bool open(bool servePortmapper, std::string* error);
    /// Starts the accept and UDP threads.
    void start();
    /// Closes every socket and joins every thread; calls in progress end without a reply.
    void stop();

    std::uint16_t portmapperPort() const noexcept { return m_portmapTcp.port(); }
    std::uint16_t corePort() const noexcept { return m_core.port(); }
    std::uint16_t abortPort() const noexcept { return m_abort.port(); }
    /// The port `service` listens on; 0 if it was not added.
    std::uint16_t portOf(const StreamService& service) const noexcept;
    std::size_t liveConnections() const;

private:
    struct Slot {
        std::unique_ptr<ServedConnection> connection;
        Connection* rpc = nullptr; ///< the same connection when it is a VXI-11 one
        std::thread thread;
    };
    struct Stream {
        StreamService* service = nullptr;
        std::uint16_t wantedPort = 0;
        net::TcpListener listener;
    };

    bool bindPortmapper(std::string* error);
    void closeSockets();
    void acceptLoop();
    void accept(net::TcpListener& listener, Service service);
    void accept(Stream& stream);
    /// A slot serving `connection` on a thread of its own, or null when the cap is reached
    /// (with m_mutex held).
    Slot* newSlot(std::unique_ptr<ServedConnection> connection, Connection* rpc);
    void udpLoop();
    void reapFinished();

    // ---- For the connections.
    Outcome handle(const CallContext& call, Service service, vxi11::xdr::ByteView record) override;
    /// Whether the client behind `connection` holds a link (then it may stay idle).
    bool mayStayIdle(const Connection& connection) const override;
    /// Its links and its interrupt channel go.
    void ended(const Connection& connection) override;

    const SimulatorConfig& m_config;
    Dispatch& m_dispatch;
    LinkTable& m_links;
    InterruptChannels& m_interrupts;
    net::TcpListener m_portmapTcp;
    net::UdpSocket m_portmapUdp;
    net::TcpListener m_core;
    net::TcpListener m_abort;
    std::vector<Stream> m_streams;
    net::Fd m_wakeRead; ///< readable once stop() begins
    net::Fd m_wakeWrite;
    std::thread m_acceptThread;
    std::thread m_udpThread;
    mutable std::mutex m_mutex; ///< guards the slots
    std::list<Slot> m_slots;
    std::uint64_t m_nextId = 1;
};

} // namespace gateway
