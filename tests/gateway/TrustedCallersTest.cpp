// Whom the simulator trusts: who may change its portmapper's table, and where it connects an
// interrupt channel. The decisions are taken on the caller's address, so callers from other
// networks are given to them directly and nothing leaves loopback.

#include "GatewayFixture.h"
#include "InterruptListener.h"
#include "gateway/vxi11/AbortService.h"
#include "gateway/vxi11/PortmapService.h"

#include <arpa/inet.h>

using namespace vxi11;
using testrpc::GatewayFixture;

namespace {

/// A caller's address, as the sockets report it.
net::IpAddress address(const char* text) {
    const auto a = net::parseIpLiteral(text);
    EXPECT_TRUE(a.has_value()) << text;
    return a.value_or(net::IpAddress{});
}

const gateway::Log kNoLog;

} // namespace

TEST(TrustedCallers, OnlyThisHostsLoopbackMayChangeThePortmappersTable) {
    gateway::PortmapService pm(kNoLog);
    pm.serve(111, 1000, 1001);
    const pmap::Mapping core{kDeviceCore, kDeviceVersion, pmap::kProtoTcp, 0};
    const pmap::Mapping other{0x20000099, 1, pmap::kProtoTcp, 4242};
    for (const char* remote : {"192.168.1.10", "10.0.0.1", "0.0.0.0", "255.255.255.255"}) {
        EXPECT_FALSE(pm.unset(core, address(remote))) << remote;
        EXPECT_FALSE(pm.set(other, address(remote))) << remote;
    }
    EXPECT_EQ(pm.getPort(core), 1000u) << "the core program is still found";
    EXPECT_EQ(pm.getPort(other), 0u);
    EXPECT_TRUE(pm.set(other, address("127.0.0.1")));
    EXPECT_TRUE(pm.unset(other, address("127.45.6.7"))) << "all of 127.0.0.0/8 is this host";
    EXPECT_FALSE(pm.set(other, address("fe80::1"))) << "IPv6: only ::1 is this host";
    EXPECT_TRUE(pm.set(other, address("::1")));
}

TEST(TrustedCallers, AnInterruptChannelGoesOnlyToTheAddressOfTheClientThatAsked) {
    using gateway::InterruptChannels;
    DeviceRemoteFunc f;
    f.hostPort = 5000;
    f.hostAddr = 0x0A000001; // 10.0.0.1
    EXPECT_TRUE(InterruptChannels::mayConnectBack(address("10.0.0.1"), f))
        << "a client on another network is called back where it is";
    EXPECT_FALSE(InterruptChannels::mayConnectBack(address("10.0.0.2"), f)) << "a third host";
    f.hostAddr = 0x7F000001;
    EXPECT_FALSE(InterruptChannels::mayConnectBack(address("10.0.0.1"), f))
        << "a remote client cannot point the simulator at this host";
    EXPECT_TRUE(InterruptChannels::mayConnectBack(address("127.0.0.1"), f));
    EXPECT_FALSE(InterruptChannels::mayConnectBack(address("::1"), f))
        << "an IPv6 client names no IPv4 address";
    f.hostAddr = 0;
    EXPECT_TRUE(InterruptChannels::mayConnectBack(address("::1"), f))
        << "it sends 0 and is called back where its link came from";
    f.hostAddr = 0x7F000001;

    InterruptChannels channels(kNoLog, true);
    EXPECT_EQ(channels.create(1, address("10.0.0.1"), f), err::kChannelNotEstablished);
}

using TrustedCallersOnLoopback = GatewayFixture;

TEST_F(TrustedCallersOnLoopback, AChannelToAnotherLoopbackAddressThanTheClientsIsRefused) {
    // The client's core connection comes from 127.0.0.1; something listens on 127.0.0.2.
    auto elsewhere = net::TcpListener::open("127.0.0.2", 0, 1);
    DeviceRemoteFunc f;
    f.hostAddr = 0x7F000002;
    f.hostPort = elsewhere.port();
    EXPECT_EQ(core.call<CreateIntrChan>(f)->error, err::kChannelNotEstablished);
    testrpc::InterruptListener own;
    EXPECT_EQ(core.call<CreateIntrChan>(own.remoteFunc())->error, 0);
    EXPECT_TRUE(own.accept());
}
