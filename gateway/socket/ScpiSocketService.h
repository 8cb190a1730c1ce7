#pragma once
// The raw SCPI socket: the first LAN instrument on a plain TCP stream, as instruments serve
// it on port 5025. Bytes go to the instrument as they come; it splits them into program
// messages at LF outside blocks and strings, and each query's answer goes back whole with its
// LF before the next message is looked at, so queries sent back to back are all answered. A
// block (`#NLEN...`) is taken or sent as on VXI-11, LF bytes inside included. No END, no
// status byte, no lock of its own: a lock that another client holds over VXI-11 or HiSLIP
// holds the stream up. What came of a message when the client leaves is forgotten.

#include "gateway/devices/DeviceAccess.h"
#include "gateway/serving/SendAnswer.h"
#include "gateway/serving/StreamService.h"

#include <atomic>
#include <memory>

namespace gateway {

class ScpiSocketService final : public StreamService {
public:
    ScpiSocketService(DeviceBus& bus, LockTable& locks) : m_bus(bus), m_locks(locks) {}

    std::unique_ptr<ServedConnection> accept(net::TcpConnection socket,
                                             const net::IpAddress& peer) override;
    /// Closed without a word: the stream has no way to say why.
    void refuse(net::TcpConnection&) override {}
    std::string_view name() const override { return "socket"; }

private:
    DeviceBus& m_bus;
    LockTable& m_locks;
};

/// One client of the raw socket.
class ScpiConnection final : public StreamConnection {
public:
    ScpiConnection(net::TcpConnection socket, DeviceAccess device)
        : StreamConnection(std::move(socket)), m_device(std::move(device)) {}

    void serve() override;
    void shutdown() override;

private:
    /// Feeds what came; false when the connection is to end.
    bool received(std::span<const std::uint8_t> data);
    /// Sends the answer of the message just fed, once it is readable.
    bool answer();

    DeviceAccess m_device;
    std::atomic<bool> m_stopping{false};
    /// The bytes fed last ended inside a program message.
    bool m_partial = false;
    WaveformScratch m_scratch;
};

} // namespace gateway
