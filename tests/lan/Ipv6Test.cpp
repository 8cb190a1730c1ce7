// Every transport over IPv6 loopback, its host a bracketed literal as VISA writes it, against
// scripted peers on ::1 (the raw socket, HiSLIP, and VXI-11 with its interrupt channel), and
// against the simulator listening on ::1.

#include "gateway/Simulator.h"
#include "hislip/HislipPeer.h"
#include "lan/LanLibrary.h"
#include "net/Listeners.h"
#include "net/TransportError.h"
#include "support/LoopbackSimulator.h"
#include "vxi11/client/FakeGateway.h"
#include "vxi11/codec/RecordMarking.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

using namespace std::chrono_literals;
using testsupport::Peer;
using testsupport::ScriptServer;

namespace {

bool haveIpv6Loopback() {
    try {
        net::TcpListener::open("::1", 0, 1);
        return true;
    } catch (const net::TransportError&) {
        return false;
    }
}

#define SKIP_WITHOUT_IPV6()                                                                        \
    if (!haveIpv6Loopback()) {                                                                     \
        GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";                                 \
    }

lan::LanLibrary::Options quiet() {
    lan::LanLibrary::Options o;
    o.resolver = [](const std::string&) { return std::vector<net::IpAddress>{}; }; // no lookups
    o.defaultTimeout = 5s;
    return o;
}

/// Writes `query` and reads the answer; empty on any failure.
std::string ask(lan::LanLibrary& lib, sicl::SessionId id, const std::string& query) {
    std::int32_t n = 0;
    if (lib.vb_iwrite(1, id, query, static_cast<std::int32_t>(query.size()), 1, n) != 0) {
        return {};
    }
    std::string answer(256, '\0');
    std::int32_t reason = 0;
    if (lib.vb_iread(1, id, answer, 256, reason, n) != 0) {
        return {};
    }
    answer.resize(static_cast<std::size_t>(n));
    return answer;
}

} // namespace

TEST(Ipv6, ARawSocketAtABracketedLiteral) {
    SKIP_WITHOUT_IPV6();
    ScriptServer server(
        [](Peer& p) {
            std::string line;
            while (auto b = p.readExact(1)) {
                line += static_cast<char>(b->front());
                if (line.back() == '\n') {
                    break;
                }
            }
            const std::string answer = line == "*IDN?\n" ? "over ipv6\n" : "?\n";
            p.sendRaw({reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()});
            p.waitClosed();
        },
        ScriptServer::Family::Ipv6);
    lan::LanLibrary lib(quiet());
    const auto id = lib.vb_iopen("TCPIP0::[::1]::" + std::to_string(server.port()) + "::SOCKET");
    ASSERT_GT(id, 0) << lib.vb_igeterrno();
    EXPECT_EQ(ask(lib, id, "*IDN?\n"), "over ipv6\n");
}

TEST(Ipv6, AHislipSessionAtABracketedLiteral) {
    SKIP_WITHOUT_IPV6();
    testsupport::PeerConfig config;
    config.listenAddress = "::1";
    testsupport::HislipPeer peer(config, [](testsupport::PeerSession& s) {
        const auto q = s.sync.receive();
        ASSERT_TRUE(q);
        const std::string answer = "over ipv6\n";
        s.sync.send(
            hislip::data(true, 0, q->header.parameter,
                         {reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()}));
        s.sync.waitClosed();
    });
    lan::LanLibrary lib(quiet());
    const auto id =
        lib.vb_iopen("TCPIP::[::1]::hislip0," + std::to_string(peer.port()) + "::INSTR");
    ASSERT_GT(id, 0) << lib.vb_igeterrno();
    EXPECT_EQ(ask(lib, id, "*IDN?\n"), "over ipv6\n");
}

TEST(Ipv6, Vxi11AndItsInterruptChannelComeBackOnTheFamilyOfTheLink) {
    SKIP_WITHOUT_IPV6();
    std::atomic<std::uint32_t> hostAddr{0xFFFFFFFF};
    std::atomic<std::uint32_t> hostPort{0};
    std::optional<net::TcpConnection> callBack; // the gateway's side of the interrupt channel
    using namespace vxi11;
    testsupport::FakeGateway gw(
        [&](testsupport::FakeGateway& g, Peer& p, const rpc::ParsedCall& call) {
            if (g.answerLinkCalls(p, call)) {
                return true;
            }
            if (call.header.proc == proc::kCreateIntrChan) {
                const auto remote = decodeArgsFor<CreateIntrChan>(call.args);
                hostAddr = remote ? remote->hostAddr : 0xFFFFFFFE;
                hostPort = remote ? remote->hostPort : 0;
            }
            if (call.header.proc == proc::kDeviceEnableSrq && hostPort != 0 && !callBack) {
                // As a gateway does for an IPv6 link: back to the address the link came from.
                callBack = net::TcpConnection::connect(net::IpAddress::ipv6Loopback(),
                                                       static_cast<std::uint16_t>(hostPort.load()),
                                                       net::Deadline::after(2s));
                callBack->sendAll(rpc::frameRecord(encodeCallFor<DeviceIntrSrq>(7, {})),
                                  net::Deadline::after(2s));
            }
            testsupport::FakeGateway::reply<DestroyLink>(p, call, DeviceError{0});
            return true;
        },
        4096, ScriptServer::Family::Ipv6);
    auto options = quiet();
    options.vxi11PortmapperPort = gw.port();
    lan::LanLibrary lib(options);
    const auto visa = lib.vb_iopen("TCPIP::[::1]::inst0::INSTR");
    ASSERT_GT(visa, 0) << lib.vb_igeterrno();
    const auto id = lib.vb_iopen(gw.address("inst0")); // lan;vxi-11[[::1]:PORT]:inst0
    ASSERT_GT(id, 0) << lib.vb_igeterrno();
    EXPECT_EQ(lib.vb_iwaitsrq(id, 5000), 0);
    EXPECT_EQ(hostAddr, 0u) << "an IPv6 client cannot name itself in the IPv4 field";
    EXPECT_NE(hostPort, 0u);
    EXPECT_EQ(lib.vb_iclose(id) + lib.vb_iclose(visa), 0);
}

TEST(Ipv6, TheSimulatorServesEveryProtocolOnTheIpv6Loopback) {
    SKIP_WITHOUT_IPV6();
    gateway::SimulatorConfig config = testsupport::onFreePorts(gateway::demoBench());
    config.listenAddress = "::1";
    config.lanInstruments = {gateway::demoLanInstrument()};
    config.hislipPort = 0;
    config.socketPort = 0;
    gateway::Simulator sim(config);
    ASSERT_TRUE(testsupport::started(sim));
    const std::string pm = std::to_string(sim.portmapperPort());
    EXPECT_NE(sim.readyLine().find("portmapper=[::1]:" + pm), std::string::npos) << sim.readyLine();
    lan::LanLibrary lib(quiet());
    const auto dmm = lib.vb_iopen("lan;vxi-11[[::1]:" + pm + "]:gpib0,22");
    ASSERT_GT(dmm, 0) << lib.vb_igeterrno();
    EXPECT_EQ(ask(lib, dmm, "*SRE 16;*OPC?\n"), "1\r\n");
    // The first wait opens the interrupt channel; the answer that follows raises a request.
    EXPECT_EQ(lib.vb_iwaitsrq(dmm, 100), 15);
    EXPECT_EQ(ask(lib, dmm, "*IDN?\n").substr(0, 19), "Orvane Instruments,");
    EXPECT_EQ(lib.vb_iwaitsrq(dmm, 5000), 0) << "the interrupt channel came back over IPv6";
    const auto hislip =
        lib.vb_iopen("TCPIP::[::1]::hislip0," + std::to_string(sim.hislipPort()) + "::INSTR");
    ASSERT_GT(hislip, 0) << lib.vb_igeterrno();
    EXPECT_EQ(ask(lib, hislip, "*IDN?\n").substr(0, 18), "Marrow Scientific,");
    const auto socket =
        lib.vb_iopen("TCPIP::[::1]::" + std::to_string(sim.socketPort()) + "::SOCKET");
    ASSERT_GT(socket, 0) << lib.vb_igeterrno();
    EXPECT_EQ(ask(lib, socket, "*IDN?\n").substr(0, 18), "Marrow Scientific,");
    EXPECT_EQ(lib.vb_iclose(dmm) + lib.vb_iclose(hislip) + lib.vb_iclose(socket), 0);
}
