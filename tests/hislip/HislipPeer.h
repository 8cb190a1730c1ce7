#pragma once
// A scripted HiSLIP server on 127.0.0.1, port 0, for the client's tests: each session (a sync
// and an async connection) runs a script that reads what the client sent and answers as the
// test wants, right or wrong. Every wait ends after a few seconds or when the peer stops, so a
// script that waits for something that never comes fails its test instead of hanging it.

#include "hislip/codec/Message.h"
#include "hislip/codec/MessageReader.h"
#include "net/Listeners.h"
#include "net/TcpConnection.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

namespace testsupport {

/// One message as the peer received it.
struct Msg {
    hislip::Header header;
    hislip::Bytes payload;
    std::string text() const { return std::string(payload.begin(), payload.end()); }
};

/// One connection of a peer session.
class PeerChannel {
public:
    PeerChannel() = default;
    PeerChannel(net::TcpConnection connection, int stopFd);

    bool isOpen() const { return m_connection.isOpen(); }
    /// The next whole message; nothing when the client closed, the framing broke, the time
    /// passed or the peer stops.
    std::optional<Msg> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Sends bytes as they are (a message, several, or part of one); false if they did not go.
    bool send(std::span<const std::uint8_t> bytes);
    /// Sends `payload` as Data messages of at most `piece` bytes, the last one DataEND, each
    /// carrying `messageId`.
    bool sendResponse(std::span<const std::uint8_t> payload, std::uint32_t messageId,
                      std::size_t piece);
    /// True once the client has closed this connection within `timeout`.
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void close() { m_connection.close(); }

private:
    net::TcpConnection m_connection;
    int m_stopFd = -1;
    hislip::MessageReader m_reader{{std::uint64_t{1} << 30, 1 << 16, 0, false}};
    hislip::Bytes m_pending; ///< received bytes not yet framed
};

/// How the peer answers the opening handshake.
struct PeerConfig {
    bool overlapped = false;
    std::uint16_t sessionId = 0x4A21;
    std::uint16_t vendor = hislip::vendorId('T', 'P');
    std::uint64_t maxMessage = std::uint64_t{1} << 20;
    /// Off: the script sees only the sync connection, before anything was read from it.
    bool handshake = true;
    /// Where the peer listens: 127.0.0.1, or ::1.
    std::string listenAddress = "127.0.0.1";
};

/// One session as its script sees it.
struct PeerSession {
    PeerChannel sync;
    PeerChannel async;
    Msg initialize; ///< what the client sent, with the handshake
    Msg maxSize;    ///< the client's AsyncMaximumMessageSize
    /// Accepts the next connection (the async one, when the script does the handshake).
    PeerChannel accept();

    net::TcpListener* listener = nullptr;
    int stopFd = -1;
};

class HislipPeer {
public:
    using Script = std::function<void(PeerSession&)>;

    HislipPeer(PeerConfig config, Script script);
    ~HislipPeer();
    HislipPeer(const HislipPeer&) = delete;
    HislipPeer& operator=(const HislipPeer&) = delete;

    std::uint16_t port() const { return m_listener.port(); }
    /// Waits until `n` sessions have run their script to the end; false after `timeout`.
    bool waitSessions(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    void serve();
    bool handshake(PeerSession& session);

    PeerConfig m_config;
    Script m_script;
    net::TcpListener m_listener;
    int m_stopPipe[2] = {-1, -1};
    std::mutex m_mutex;
    std::condition_variable m_done;
    int m_finished = 0;
    std::thread m_thread;
};

} // namespace testsupport
