#include "gateway/adapter/ByteStream.h"

#include "net/HostConnect.h"
#include "net/SerialPort.h"
#include "net/TcpConnection.h"

namespace gateway::adapter {

namespace {

class SerialStream final : public ByteStream {
public:
    explicit SerialStream(net::SerialPort port) : m_port(std::move(port)) {}
    void send(std::span<const std::uint8_t> bytes, net::Deadline deadline) override {
        m_port.sendAll(bytes, deadline);
    }
    std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline deadline) override {
        return m_port.receiveSome(out, deadline);
    }
    bool hungUp() const override { return m_port.hungUp(); }
    const std::string& name() const override { return m_port.path(); }

private:
    net::SerialPort m_port;
};

class TcpStream final : public ByteStream {
public:
    TcpStream(net::TcpConnection connection, std::string name)
        : m_connection(std::move(connection)), m_name(std::move(name)) {}
    void send(std::span<const std::uint8_t> bytes, net::Deadline deadline) override {
        m_connection.sendAll(bytes, deadline);
    }
    std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline deadline) override {
        return m_connection.receiveSome(out, deadline);
    }
    bool hungUp() const override { return m_connection.peerClosed(); }
    const std::string& name() const override { return m_name; }

private:
    net::TcpConnection m_connection;
    std::string m_name;
};

} // namespace

std::unique_ptr<ByteStream> openByteStream(const AdapterPlace& place, int baud,
                                           net::Deadline deadline) {
    if (place.kind == AdapterPlace::Kind::Serial) {
        return std::make_unique<SerialStream>(net::SerialPort::open(place.path, baud));
    }
    const bool v6 = place.host.find(':') != std::string::npos;
    const std::string name =
        (v6 ? "[" + place.host + "]" : place.host) + ":" + std::to_string(place.port);
    return std::make_unique<TcpStream>(net::connectHost(place.host, place.port, deadline), name);
}

} // namespace gateway::adapter
