// The adapter served end to end: a tiny client over TCP, and one over the pseudo-terminal.

#include "gateway/emulator/PlusPlusServer.h"
#include "FakeBus.h"
#include "net/Resolver.h"
#include "net/WaitAny.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace gateway::emulator::test {
namespace {

using namespace std::chrono_literals;

const std::string kFirmware = "AR488 GPIB controller, ver. 0.53.04, 13/04/2025\r\n";

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// Reads from `receive` until the bytes end in CR LF; fails the test after 5 s.
template <class Receive>
std::string line(Receive receive) {
    std::string got;
    const auto deadline = net::Deadline::after(5s);
    std::uint8_t buffer[256];
    while (!got.ends_with("\r\n") && !deadline.expired()) {
        const std::size_t n = receive(std::span(buffer), deadline);
        got.append(buffer, buffer + n);
    }
    return got;
}

TEST(PlusPlusServer, ServesOneTcpClientAtATimeTheNextOnceTheFirstHasGone) {
    FakeBus bus;
    bus.at(1).replies["*IDN?"] = "SIM,1\r\n";
    PlusPlusServer server(bus, EmulatorOptions{Flavour::Prologix});
    std::string error;
    ASSERT_TRUE(server.openTcp("127.0.0.1", 0, &error)) << error;
    server.start();
    const auto port = static_cast<std::uint16_t>(std::stoi(server.where()));
    const auto loopback = *net::parseIpv4("127.0.0.1");

    auto first = net::TcpConnection::connect(loopback, port, net::Deadline::after(5s));
    auto second = net::TcpConnection::connect(loopback, port, net::Deadline::after(5s));
    second.sendAll(bytesOf("++ver\n"), net::Deadline::after(5s));
    first.sendAll(bytesOf("++auto 1\n*IDN?\n"), net::Deadline::after(5s));
    const auto from = [](net::TcpConnection& c) {
        return [&c](std::span<std::uint8_t> b, net::Deadline d) { return c.receiveSome(b, d); };
    };
    EXPECT_EQ(line(from(first)), "SIM,1\r\n");
    first.close();
    EXPECT_EQ(line(from(second)), "Prologix GPIB-ETHERNET Controller version 01.06.06.00\r\n");
    server.stop();
    EXPECT_EQ(bus.log, (std::vector<std::string>{"ifc", "ren 1"}));
}

TEST(PlusPlusServer, ServesATerminalToOneClientAfterAnotherAndStopsAtOnce) {
    FakeBus bus;
    bus.at(1);
    PlusPlusServer server(bus, EmulatorOptions{Flavour::Ar488});
    std::string error;
    ASSERT_TRUE(server.openTerminal(&error)) << error;
    ASSERT_TRUE(server.where().starts_with("/dev/pts/")) << server.where();
    server.start();
    const auto from = [](int fd) {
        return [fd](std::span<std::uint8_t> b, net::Deadline d) {
            const net::Watched watched[] = {{fd, net::Watch::Readable}};
            net::waitAny(watched, d);
            const ssize_t n = ::read(fd, b.data(), b.size());
            return static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        };
    };
    const auto open = [&] { return ::open(server.where().c_str(), O_RDWR | O_NOCTTY); };

    // A client that opened it exclusively, as a serial port is, leaves it free for the next.
    int client = open();
    ASSERT_GE(client, 0);
    ASSERT_EQ(::ioctl(client, TIOCEXCL), 0);
    ASSERT_EQ(::write(client, "++ver\r\n", 7), 7);
    EXPECT_EQ(line(from(client)), kFirmware);
    ::close(client);
    int exclusive = 1;
    for (const auto deadline = net::Deadline::after(5s); exclusive != 0 && !deadline.expired();) {
        client = open();
        ASSERT_EQ(::ioctl(client, TIOCGEXCL, &exclusive), 0);
        ::close(client);
    }
    EXPECT_EQ(exclusive, 0);

    // A read that would hold the adapter for half a minute does not hold stop().
    client = open();
    const std::string longRead = "++ver real\n++read_tmo_ms 30000\n++read\n";
    ASSERT_EQ(::write(client, longRead.data(), longRead.size()),
              static_cast<ssize_t>(longRead.size()));
    EXPECT_EQ(line(from(client)), kFirmware);
    const auto start = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ::close(client);
}

} // namespace
} // namespace gateway::emulator::test
