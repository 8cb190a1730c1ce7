// The simulator's idle time-out: connections that hold no link and stay silent, and clients
// that trickle one call byte by byte, lose their connection slot after the time-out, so they
// cannot lock everyone else out; a client that holds a link may stay idle as long as it likes.
// The time-out itself is under test here, with a short value and generous margins.

#include "gateway/Simulator.h"
#include "support/LoopbackSimulator.h"
#include "vxi11/codec/AsyncIntrMessages.h"
#include "vxi11/net/RpcClient.h"
#include "vxi11/library/Vxi11Library.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kIdle = 300ms;

/// A raw TCP connection to 127.0.0.1:port (-1 on failure).
int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// True when the peer closes `fd` within `limit` (reads end of stream or a reset).
bool closedByPeerWithin(int fd, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 1))) <= 0) {
            continue;
        }
        char b[64];
        const ssize_t n = ::recv(fd, b, sizeof b, 0);
        if (n <= 0) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<gateway::Simulator> startSimulator(std::size_t maxConnections) {
    gateway::SimulatorLimits limits;
    limits.maxConnections = maxConnections;
    limits.idleTimeout = kIdle;
    auto sim = std::make_unique<gateway::Simulator>(
        testsupport::onFreePorts({testsupport::instrumentAt(4, "Idle,Meter,1,1.0")}, limits));
    EXPECT_TRUE(testsupport::started(*sim));
    return sim;
}

std::string identity(vxi11::Vxi11Library& lib, sicl::SessionId id) {
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

vxi11::Vxi11Library::Options quickOptions() {
    vxi11::Vxi11Library::Options o;
    o.defaultTimeout = 2000ms;
    o.resolver = [](const std::string&) -> std::optional<std::uint32_t> { return std::nullopt; };
    return o;
}

TEST(SimulatorIdleTimeout, SilentAndTricklingClientsLoseTheirSlotsAndServiceResumes) {
    auto sim = startSimulator(4);
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(connectTo(sim->corePort()));
        ASSERT_GE(silent.back(), 0);
    }
    // The fourth slot: a call announced as 100 bytes, trickled a byte at a time.
    const int trickler = connectTo(sim->corePort());
    ASSERT_GE(trickler, 0);
    const std::uint8_t mark[4] = {0x80, 0x00, 0x00, 100};
    ASSERT_EQ(::send(trickler, mark, sizeof mark, MSG_NOSIGNAL), 4);

    // Every slot is taken: a newcomer is turned away at once.
    const int newcomer = connectTo(sim->corePort());
    EXPECT_TRUE(closedByPeerWithin(newcomer, 2000ms));
    ::close(newcomer);

    const auto start = Clock::now();
    bool trickleClosed = false;
    for (int i = 0; i < 60 && !trickleClosed; ++i) {
        const std::uint8_t byte = 0;
        if (::send(trickler, &byte, 1, MSG_NOSIGNAL) != 1) {
            trickleClosed = true;
            break;
        }
        pollfd p{trickler, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            trickleClosed = true; // end of stream or reset
        }
    }
    const auto trickleTook = Clock::now() - start;
    EXPECT_TRUE(trickleClosed) << "a call trickled for 3 s without being cut off";
    EXPECT_LT(trickleTook, 2 * kIdle + 1000ms);
    for (int fd : silent) {
        EXPECT_TRUE(closedByPeerWithin(fd, 2 * kIdle + 2000ms));
        ::close(fd);
    }
    ::close(trickler);
    std::printf("figure: trickling call cut off after %lld ms (idle time-out %lld ms)\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(trickleTook).count()),
                static_cast<long long>(kIdle.count()));

    // The slots are free again: a normal client is served.
    vxi11::Vxi11Library lib(quickOptions());
    const auto id =
        lib.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(sim->portmapperPort()) + "]:gpib,4");
    ASSERT_GT(id, 0) << lib.vb_igeterrno();
    EXPECT_EQ(identity(lib, id), "Idle,Meter,1,1.0\n");
    lib.vb_iclose(id);
}

TEST(SimulatorIdleTimeout, AClientHoldingALinkMayStayIdleLongerThanTheTimeOut) {
    auto sim = startSimulator(8);
    vxi11::Vxi11Library lib(quickOptions());
    const auto id =
        lib.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(sim->portmapperPort()) + "]:gpib,4");
    ASSERT_GT(id, 0) << lib.vb_igeterrno();
    // Its abort channel, opened once as clients do and silent since, belongs to it as well.
    using vxi11::net::Deadline;
    vxi11::net::RpcClient abortChannel(vxi11::net::TcpConnection::connect(
        htonl(INADDR_LOOPBACK), sim->abortPort(), Deadline::after(2s)));
    // The time-out is what is under test: stay idle for several of them.
    std::this_thread::sleep_for(4 * kIdle);
    EXPECT_EQ(sim->liveLinks(), 1u);
    EXPECT_EQ(identity(lib, id), "Idle,Meter,1,1.0\n");
    const std::int32_t lid = sim->links().at(0).lid;
    EXPECT_EQ(abortChannel.call<vxi11::DeviceAbort>({lid}, Deadline::after(2s)).error, 0);
    EXPECT_EQ(lib.vb_iclose(id), 0);
    // With no link left, the silent abort channel goes like any idle connection.
    EXPECT_TRUE(closedByPeerWithin(abortChannel.connection().fd(), 2 * kIdle + 2000ms));
}

} // namespace
