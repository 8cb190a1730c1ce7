// The interrupt channel against the in-process simulator: the gateway calls back when SRQ
// rises, and only then.

#include "vxi11/transport/SrqChannel.h"
#include "lan/LanLibrary.h"
#include "library/LibraryError.h"
#include "support/LoopbackSimulator.h"
#include "vxi11/transport/Address.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(SrqChannel, WakesWhenAnInstrumentRequestsServiceAndNotBefore) {
    gateway::Simulator sim(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(testsupport::started(sim));
    const std::string server = testsupport::serverOf(sim);
    const auto channel = vxi11::SrqChannel::open(
        vxi11::parseAddress("lan;vxi-11[" + server + "]:gpib"), net::Deadline::after(5s));
    ASSERT_EQ(sim.links().size(), 1u);

    lan::LanLibrary library;
    const sicl::SessionId dmm = library.vb_iopen("lan;vxi-11[" + server + "]:gpib,22");
    ASSERT_NE(dmm, 0);
    std::int32_t actual = 0;
    ASSERT_EQ(library.vb_iwrite(1, dmm, "*SRE 16\n", 8, 1, actual), 0);
    EXPECT_FALSE(channel->wait(net::Deadline::after(100ms))) << "no request yet";
    ASSERT_EQ(library.vb_iwrite(1, dmm, "*OPC?\n", 6, 1, actual), 0);
    EXPECT_TRUE(channel->wait(net::Deadline::after(10s)));
    EXPECT_FALSE(channel->wait(net::Deadline::after(50ms))) << "one rise, one call";
}

TEST(SrqChannel, TheWaitEntryHearsTheBusOnAnInterfaceSessionAndALineAlreadyUp) {
    gateway::Simulator sim(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(testsupport::started(sim));
    const std::string server = testsupport::serverOf(sim);
    lan::LanLibrary library;
    const sicl::SessionId intf = library.vb_iopen("lan;vxi-11[" + server + "]:gpib");
    const sicl::SessionId dmm = library.vb_iopen("lan;vxi-11[" + server + "]:gpib,22");
    ASSERT_NE(intf, 0);
    ASSERT_NE(dmm, 0);
    EXPECT_EQ(library.vb_iwaitsrq(intf, 100), library::liberr::kIoTimeout);

    std::int32_t actual = 0;
    ASSERT_EQ(library.vb_iwrite(1, dmm, "*SRE 16\n*OPC?\n", 14, 1, actual), 0);
    EXPECT_EQ(library.vb_iwaitsrq(intf, 10000), 0);
    // The line stays up until a serial poll, but it rose once: nothing new to hear.
    EXPECT_EQ(library.vb_iwaitsrq(intf, 50), library::liberr::kIoTimeout);

    // A session that starts waiting while the line is already up hears it at once.
    const sicl::SessionId late = library.vb_iopen("lan;vxi-11[" + server + "]:gpib");
    EXPECT_EQ(library.vb_iwaitsrq(late, 10000), 0);
    EXPECT_EQ(library.vb_iclose(late), 0);
    EXPECT_EQ(library.vb_iclose(intf), 0);
    EXPECT_EQ(sim.links().size(), 1u) << "closing a session closes its interrupt channel link";
}

TEST(SrqChannel, ClosingGivesBackTheLink) {
    gateway::Simulator sim(testsupport::onFreePorts({}));
    ASSERT_TRUE(testsupport::started(sim));
    {
        const auto channel = vxi11::SrqChannel::open(
            vxi11::parseAddress("lan;vxi-11[" + testsupport::serverOf(sim) + "]:gpib"),
            net::Deadline::after(5s));
        EXPECT_EQ(sim.links().size(), 1u);
    }
    EXPECT_EQ(sim.links().size(), 0u);
    ASSERT_EQ(sim.destroyedLinks().size(), 1u);
    EXPECT_TRUE(sim.destroyedLinks()[0].byCall);
}

} // namespace
