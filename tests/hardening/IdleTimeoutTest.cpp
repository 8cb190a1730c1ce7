// The simulator's idle time-out: connections that hold no link and stay silent, and clients
// that trickle one call byte by byte, lose their connection slot after the time-out, so they
// cannot lock everyone else out; a client that holds a link may stay idle as long as it likes.
// The time-out itself is under test here, with a short value and generous margins.

#include "gateway/Simulator.h"
#include "lan/LanLibrary.h"
#include "support/LoopbackSimulator.h"
#include "support/RawConnection.h"
#include "vxi11/codec/AsyncIntrMessages.h"
#include "vxi11/rpc/RpcClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kIdle = 300ms;

using testsupport::RawConnection;

std::unique_ptr<gateway::Simulator> startSimulator(std::size_t maxConnections) {
    gateway::SimulatorLimits limits;
    limits.maxConnections = maxConnections;
    limits.idleTimeout = kIdle;
    auto sim = std::make_unique<gateway::Simulator>(
        testsupport::onFreePorts({testsupport::instrumentAt(4, "Idle,Meter,1,1.0")}, limits));
    EXPECT_TRUE(testsupport::started(*sim));
    return sim;
}

std::string identity(lan::LanLibrary& lib, sicl::SessionId id) {
    std::int32_t n = 0;
    if (lib.vb_iwrite(1, id, "*IDN?\n", 6, 1, n) != 0) {
        return "write failed";
    }
    std::string buf(100, ' ');
    std::int32_t reason = 0;
    if (lib.vb_iread(1, id, buf, 100, reason, n) != 0) {
        return "read failed";
    }
    return buf.substr(0, static_cast<std::size_t>(n));
}

lan::LanLibrary::Options quickOptions() {
    lan::LanLibrary::Options o;
    o.defaultTimeout = 2000ms;
    o.resolver = [](const std::string&) { return std::vector<net::IpAddress>{}; };
    return o;
}

TEST(SimulatorIdleTimeout, SilentAndTricklingClientsLoseTheirSlotsAndServiceResumes) {
    auto sim = startSimulator(4);
    std::vector<std::unique_ptr<RawConnection>> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(std::make_unique<RawConnection>(sim->corePort()));
        ASSERT_TRUE(silent.back()->connected());
    }
    // The fourth slot: a call announced as 100 bytes, trickled a byte at a time.
    RawConnection trickler(sim->corePort());
    ASSERT_TRUE(trickler.connected());
    ASSERT_TRUE(trickler.sendRaw(vxi11::xdr::Bytes{0x80, 0x00, 0x00, 100}));

    // Every slot is taken: a newcomer is turned away at once.
    RawConnection newcomer(sim->corePort());
    EXPECT_TRUE(newcomer.closedByPeer(2000ms));

    const auto start = Clock::now();
    bool trickleClosed = false;
    for (int i = 0; i < 60 && !trickleClosed; ++i) {
        // The server sends nothing on this connection: anything readable is its end.
        trickleClosed = !trickler.sendRaw(vxi11::xdr::Bytes{0}) || trickler.closedByPeer(50ms);
    }
    const auto trickleTook = Clock::now() - start;
    EXPECT_TRUE(trickleClosed) << "a call trickled for 3 s without being cut off";
    EXPECT_LT(trickleTook, 2 * kIdle + 1000ms);
    for (const auto& connection : silent) {
        EXPECT_TRUE(connection->closedByPeer(2 * kIdle + 2000ms));
    }
    std::printf("figure: trickling call cut off after %lld ms (idle time-out %lld ms)\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(trickleTook).count()),
                static_cast<long long>(kIdle.count()));

    // The slots are free again: a normal client is served.
    lan::LanLibrary lib(quickOptions());
    const auto id =
        lib.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(sim->portmapperPort()) + "]:gpib,4");
    ASSERT_GT(id, 0) << lib.vb_igeterrno();
    EXPECT_EQ(identity(lib, id), "Idle,Meter,1,1.0\n");
    lib.vb_iclose(id);
}

TEST(SimulatorIdleTimeout, AClientHoldingALinkMayStayIdleLongerThanTheTimeOut) {
    auto sim = startSimulator(8);
    lan::LanLibrary lib(quickOptions());
    const auto id =
        lib.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(sim->portmapperPort()) + "]:gpib,4");
    ASSERT_GT(id, 0) << lib.vb_igeterrno();
    // Its abort channel, opened once as clients do and silent since, belongs to it as well.
    using net::Deadline;
    vxi11::rpc::RpcClient abortChannel(net::TcpConnection::connect(
        testsupport::loopback(), sim->abortPort(), Deadline::after(2s)));
    // The time-out is what is under test: stay idle for several of them.
    std::this_thread::sleep_for(4 * kIdle);
    EXPECT_EQ(sim->liveLinks(), 1u);
    EXPECT_EQ(identity(lib, id), "Idle,Meter,1,1.0\n");
    const std::int32_t lid = sim->links().at(0).lid;
    EXPECT_EQ(abortChannel.call<vxi11::DeviceAbort>({lid}, Deadline::after(2s)).error, 0);
    EXPECT_EQ(lib.vb_iclose(id), 0);
    // With no link left, the silent abort channel goes like any idle connection.
    const auto end = Clock::now() + 2 * kIdle + 2000ms;
    while (!abortChannel.connection().peerClosed() && Clock::now() < end) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(abortChannel.connection().peerClosed());
}

} // namespace
