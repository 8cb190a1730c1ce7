#pragma once
// A scripted `++` adapter for the driver's tests, on a pseudo-terminal or a loopback TCP port:
// one thread that reads the host's lines as an adapter does (escapes, commands, an AR488's
// 128-byte pieces), answers as the flavour does, and plays scripted talkers. It records what
// the host sent and what reached the bus, and can be unplugged and plugged in again.

#include "gateway/adapter/PlusPlusCodec.h"
#include "net/Fd.h"
#include "net/Listeners.h"
#include "net/TcpConnection.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace gateway::adapter::testing {

using Bytes = std::vector<std::uint8_t>;
using Millis = std::chrono::milliseconds;

/// Bytes a talker sends when read: after `delay`, with EOI on the last when `eoi`.
struct Chunk {
    Bytes bytes;
    Millis delay{0};
    bool eoi = false;
};

/// One transfer on the bus to a listener: a line or an AR488 piece.
struct BusWrite {
    GpibAddress address;
    Bytes bytes;
    bool eoi = false;
};

class FakeAdapter {
public:
    enum class Transport { Pty, Tcp };

    FakeAdapter(Flavour flavour, Transport transport);
    ~FakeAdapter();
    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    /// What the driver opens: a stable path to the pty (a link, as under /dev/serial/by-id),
    /// or "127.0.0.1:PORT".
    const std::string& device() const { return m_device; }

    /// Queues what `address` says when read next.
    void talk(const GpibAddress& address, std::vector<Chunk> chunks);
    /// The status byte `address` answers a serial poll with (absent addresses stay silent).
    void answerPolls(const GpibAddress& address, std::uint8_t status);
    /// The line `++fndl` prints.
    void listeners(std::string line);

    /// Every command line the host sent, in order.
    std::vector<std::string> commands() const;
    /// Every transfer that reached the bus, in order.
    std::vector<BusWrite> writes() const;
    /// How many `++read` the adapter has begun.
    int readsBegun() const;
    /// Waits until `done` holds (looked at whenever the adapter's state changes).
    bool waitUntil(const std::function<bool()>& done, Millis timeout = Millis(5000)) const;

    /// Drops what the host sends for `span` from now, as an AR488 that resets when its port is
    /// opened.
    void deafFor(Millis span);
    /// The adapter goes away (the pty's master closed, the TCP connection and port closed).
    void unplug();
    /// It comes back where it was.
    void plugIn();

private:
    void run();
    std::chrono::steady_clock::time_point deafUntil() const;
    void openEnd();
    void closeEnd();
    bool receive(Bytes& into);
    void emit(std::string_view bytes);
    void take(std::uint8_t byte);
    void line(const Bytes& bytes, bool command);
    void command(const std::string& text);
    void dataLine(const Bytes& bytes);
    void read();
    void poll(const std::string& args);

    const Flavour m_flavour;
    const Transport m_transport;
    std::string m_dir;
    std::string m_device;
    std::uint16_t m_port = 0;
    net::Fd m_master;
    net::Fd m_slave;
    net::TcpListener m_listener;
    net::TcpConnection m_connection;

    // the adapter's settings, touched by its thread only
    GpibAddress m_address{1, std::nullopt};
    bool m_eoi = false;
    bool m_eotEnable = false;
    std::uint8_t m_eotChar = 0;
    int m_readTimeoutMs = 1200;
    int m_eos = 0;

    // the line being received
    Bytes m_line;
    bool m_escape = false;
    bool m_leadEscaped = false;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<std::pair<int, int>, std::deque<Chunk>> m_talkers;
    std::map<std::pair<int, int>, std::uint8_t> m_statuses;
    std::string m_listenerLine;
    std::vector<std::string> m_commands;
    std::vector<BusWrite> m_writes;
    int m_reads = 0;
    std::chrono::steady_clock::time_point m_deafUntil;
    bool m_unplug = false;
    bool m_plugIn = false;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace gateway::adapter::testing
