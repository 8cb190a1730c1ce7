// The simulated bus through the interface link: discovery by NDAC, docmd commands.

#include "GatewayFixture.h"

#include <set>

using namespace vxi11;
using testrpc::GatewayFixture;

using GatewayBus = GatewayFixture;

namespace {
constexpr std::uint32_t kUnl = 0x3F;
std::uint32_t mla(int a) {
    return 0x20u + static_cast<std::uint32_t>(a);
}
std::uint32_t mta(int a) {
    return 0x40u + static_cast<std::uint32_t>(a);
}
std::uint32_t msa(int s) {
    return 0x60u + static_cast<std::uint32_t>(s);
}
} // namespace

TEST_F(GatewayBus, DiscoveryWalkFindsExactlyThePrimaryAddressedInstruments) {
    const std::int32_t iface = link("gpib0");
    const int own = busStatus(iface, busstatus::kBusAddress);
    ASSERT_EQ(own, 0);
    std::set<int> found;
    for (int a = 0; a <= 30; ++a) {
        if (a == own)
            continue;
        ASSERT_EQ(docmd(iface, docmd::kSendCommand, {kUnl, mta(own), mla(a)}, 1)->error, 0);
        ASSERT_EQ(docmd(iface, docmd::kAtnControl, {0}, 2)->error, 0);
        const int ndac = busStatus(iface, busstatus::kNdac);
        ASSERT_GE(ndac, 0);
        if (ndac)
            found.insert(a);
        ASSERT_EQ(docmd(iface, docmd::kSendCommand, {kUnl}, 1)->error, 0);
    }
    // The switch unit at 5,2 listens only after its secondary address.
    EXPECT_EQ(found, (std::set<int>{3, 9, 22}));
    EXPECT_TRUE(sim->bus().atn) << "the last send command leaves ATN asserted";
}

TEST_F(GatewayBus, NdacFollowsEveryDeviceUnderAtnAndAddressedListenersWithoutIt) {
    const std::int32_t iface = link("gpib0");
    docmd(iface, docmd::kSendCommand, {kUnl, mta(0), mla(5)}, 1);
    EXPECT_EQ(busStatus(iface, busstatus::kNdac), 1)
        << "with ATN asserted every present device takes part in the handshake";
    docmd(iface, docmd::kAtnControl, {0}, 2);
    EXPECT_EQ(busStatus(iface, busstatus::kNdac), 0) << "5 alone is not the switch unit";
    docmd(iface, docmd::kSendCommand, {kUnl, mta(0), mla(5), msa(2)}, 1);
    docmd(iface, docmd::kAtnControl, {0}, 2);
    EXPECT_EQ(busStatus(iface, busstatus::kNdac), 1);
    EXPECT_TRUE(sim->instrument(5, 2)->listener);
    docmd(iface, docmd::kIfcControl, {}, 1);
    EXPECT_FALSE(sim->instrument(5, 2)->listener) << "IFC unaddresses";
    EXPECT_EQ(sim->bus().ifcCount, 1u);

    startWith({}); // an empty bus: nobody holds NDAC, whatever ATN does
    const std::int32_t empty = link("gpib0");
    docmd(empty, docmd::kAtnControl, {1}, 2);
    EXPECT_EQ(busStatus(empty, busstatus::kNdac), 0);
}

TEST_F(GatewayBus, DocmdHonoursByteOrderAndElementSize) {
    const std::int32_t iface = link("gpib0");
    // Little-endian client: request 8 as 08 00, answer back as 00 00.
    auto r = docmd(iface, docmd::kBusAddress, {7}, 4, false);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, 0);
    EXPECT_EQ(r->dataOut, (xdr::Bytes{7, 0, 0, 0}));
    r = docmd(iface, docmd::kBusStatus, {busstatus::kBusAddress}, 2, false);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->dataOut, (xdr::Bytes{7, 0}));
    EXPECT_EQ(busStatus(iface, busstatus::kBusAddress), 7);

    r = docmd(iface, docmd::kRenControl, {1}, 2);
    EXPECT_EQ(r->dataOut, (xdr::Bytes{0, 1}));
    EXPECT_EQ(busStatus(iface, busstatus::kRemote), 1);

    EXPECT_EQ(docmd(iface, docmd::kBusStatus, {3}, 4)->error, err::kParameterError)
        << "bus status takes one 16-bit element";
    EXPECT_EQ(docmd(iface, docmd::kBusStatus, {99}, 2)->error, err::kParameterError);
    EXPECT_EQ(docmd(iface, docmd::kBusAddress, {31}, 4)->error, err::kParameterError);
    EXPECT_EQ(docmd(iface, docmd::kSendCommand, std::vector<std::uint32_t>(129, kUnl), 1)->error,
              err::kParameterError);
    EXPECT_EQ(docmd(iface, 0x020099, {}, 1)->error, err::kOperationNotSupported);
    EXPECT_EQ(docmd(link("gpib0,22"), docmd::kBusStatus, {1}, 2)->error,
              err::kOperationNotSupported)
        << "docmd belongs to the interface link";
}

TEST_F(GatewayBus, InterfaceLinkTalksToTheDevicesTheClientAddressed) {
    const std::int32_t iface = link("gpib0");
    docmd(iface, docmd::kRenControl, {1}, 2);
    // Address 22 to listen, send a query as data, then address it to talk and read.
    docmd(iface, docmd::kSendCommand, {kUnl, mta(0), mla(22)}, 1);
    EXPECT_TRUE(sim->instrument(22)->remote) << "REN and listen address make it remote";
    ASSERT_EQ(write(iface, "*IDN?\n"), 0);
    docmd(iface, docmd::kSendCommand, {kUnl, mla(0), mta(22)}, 1);
    auto r = read(iface);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, 0);
    EXPECT_EQ(text(*r).rfind("Orvane Instruments", 0), 0u);

    // Serial poll by hand: SPE, talk address, one byte, SPD.
    docmd(iface, docmd::kSendCommand, {kUnl, mla(0), 0x18, mta(22)}, 1);
    r = read(iface, 1);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->data.size(), 1u);
    docmd(iface, docmd::kSendCommand, {0x19, 0x5F}, 1);

    // Group trigger and device clear from the interface.
    docmd(iface, docmd::kSendCommand, {kUnl, mla(3), mla(9), 0x08}, 1);
    EXPECT_EQ(sim->instrument(3)->triggerCount, 1u);
    EXPECT_EQ(sim->instrument(9)->triggerCount, 1u);
    EXPECT_EQ(sim->instrument(22)->triggerCount, 0u);
    DeviceGenericParms g;
    g.lid = iface;
    EXPECT_EQ(core.call<DeviceClear>(g)->error, 0);
    EXPECT_EQ(sim->instrument(22)->clearCount, 1u) << "clear on the interface is DCL";

    docmd(iface, docmd::kSendCommand, {kUnl}, 1);
    EXPECT_EQ(write(iface, "x"), err::kIoError) << "no listener";
    docmd(iface, docmd::kRenControl, {0}, 2);
    EXPECT_FALSE(sim->instrument(22)->remote);
}
