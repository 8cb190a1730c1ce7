// The interrupt channel against the in-process simulator: the gateway calls back when SRQ
// rises, and only then.

#include "vxi11/library/SrqChannel.h"
#include "support/LoopbackSimulator.h"
#include "vxi11/library/Address.h"
#include "vxi11/library/Vxi11Library.h"

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

    vxi11::Vxi11Library library;
    const sicl::SessionId dmm = library.vb_iopen("lan;vxi-11[" + server + "]:gpib,22");
    ASSERT_NE(dmm, 0);
    std::int32_t actual = 0;
    ASSERT_EQ(library.vb_iwrite(1, dmm, "*SRE 16\n", 8, 1, actual), 0);
    EXPECT_FALSE(channel->wait(net::Deadline::after(100ms))) << "no request yet";
    ASSERT_EQ(library.vb_iwrite(1, dmm, "*OPC?\n", 6, 1, actual), 0);
    EXPECT_TRUE(channel->wait(net::Deadline::after(10s)));
    EXPECT_FALSE(channel->wait(net::Deadline::after(50ms))) << "one rise, one call";
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
