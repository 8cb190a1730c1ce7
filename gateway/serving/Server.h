#pragma once
// The gateway's sockets, whatever the protocol: a listener per stream service and a UDP socket
// per datagram service, the accept and UDP loops, and the connection slots with their threads.
// Connections are capped per group of services, so that idle clients of one protocol cannot
// lock the clients of another out.

#include "gateway/serving/StreamService.h"
#include "net/Fd.h"
#include "net/Listeners.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gateway {

class Server {
public:
    /// Services that share one cap on their connections at once.
    struct Group {
        std::size_t cap = 64;
        std::size_t live = 0; ///< under the server's mutex
    };

    /// Binds listeners to the numeric address `listenAddress`.
    explicit Server(std::string listenAddress) : m_address(std::move(listenAddress)) {}
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Serves `service` on `port` (0: a free one), its connections counted in `group` (which
    /// outlives the server). Before open().
    void addService(StreamService& service, std::uint16_t port, Group& group);
    /// As above, on a listener bound already.
    void addService(StreamService& service, net::TcpListener listener, Group& group);
    /// Serves `service` on a UDP socket bound already.
    void addDatagrams(DatagramService& service, net::UdpSocket socket);
    /// Binds the listeners of the added services. False with a reason in `error`; nothing
    /// stays open then.
    bool open(std::string* error);
    /// Starts the accept and UDP threads.
    void start();
    /// Closes every socket and joins every thread; calls in progress end without a reply.
    void stop();

    /// The port `service` listens on; 0 if it was not added.
    std::uint16_t portOf(const StreamService& service) const noexcept;
    std::size_t liveConnections() const;

private:
    struct Stream {
        StreamService* service = nullptr;
        std::uint16_t wantedPort = 0;
        net::TcpListener listener;
        Group* group = nullptr;
    };
    struct Datagrams {
        DatagramService* service = nullptr;
        net::UdpSocket socket;
    };
    struct Slot {
        std::unique_ptr<ServedConnection> connection;
        Group* group = nullptr;
        std::thread thread;
    };

    void closeSockets();
    void acceptLoop();
    void accept(Stream& stream);
    void udpLoop(Datagrams& datagrams);
    void reapFinished();

    const std::string m_address;
    std::list<Stream> m_streams;
    std::list<Datagrams> m_datagrams;
    net::Fd m_wakeRead; ///< readable once stop() begins
    net::Fd m_wakeWrite;
    std::thread m_acceptThread;
    std::vector<std::thread> m_udpThreads;
    mutable std::mutex m_mutex; ///< guards the slots and the groups' counts
    std::list<Slot> m_slots;
};

} // namespace gateway
