// Device and interface operations through the bridge: each reaches the instrument as the
// flavour's `++` commands do it; what the flavour cannot do answers "operation not supported"
// and the adapter hears nothing of it.

#include "BridgeFixture.h"

#include "vxi11/codec/GpibCommands.h"

#include <algorithm>

namespace bridgetest {
namespace {

using namespace vxi11;

/// How many commands the adapter heard so far.
std::size_t heard(const testsupport::LoopbackBridge& road) {
    return road.commandsHeard().size();
}

TEST_P(Bridge, TheAdapterIsIdentifiedByAskingAndNamedInTheReadyLine) {
    const std::string flavour = ar488() ? "ar488" : "prologix";
    EXPECT_TRUE(road->readyLine().ends_with(" adapter=" + flavour)) << road->readyLine();
    const auto commands = road->commandsHeard();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "++eot_enable 1"), commands.end())
        << "set up explicitly";
}

TEST_P(Bridge, DeviceOperationsReachTheInstrument) {
    const std::int32_t dmm = link("gpib0,22");
    ASSERT_EQ(write(dmm, "*IDN?\n")->error, 0);
    const auto stb = generic<DeviceReadStb>(dmm);
    ASSERT_TRUE(stb.has_value());
    EXPECT_EQ(stb->error, 0);
    EXPECT_EQ(stb->stb & gateway::kMavBit, gateway::kMavBit) << "the answer waits";

    EXPECT_EQ(generic<DeviceClear>(dmm)->error, 0);
    EXPECT_EQ(sim().instrument(22)->clearCount, 1u);
    EXPECT_EQ(sim().instrument(22)->outputQueueBytes, 0u);
    EXPECT_EQ(generic<DeviceTrigger>(dmm)->error, 0);
    EXPECT_EQ(sim().instrument(22)->triggerCount, 1u);

    ASSERT_TRUE(sim().instrument(22)->remote) << "addressed while REN is asserted";
    EXPECT_EQ(generic<DeviceLocal>(dmm)->error, 0);
    EXPECT_FALSE(sim().instrument(22)->remote);
    EXPECT_EQ(generic<DeviceRemote>(dmm)->error, 0);
    ASSERT_EQ(write(dmm, "*CLS\n")->error, 0);
    EXPECT_TRUE(sim().instrument(22)->remote);
}

TEST_P(Bridge, ASecondaryAddressIsServedAndPolledWhereTheFlavourCan) {
    const std::int32_t card = link("gpib0,5,2");
    EXPECT_EQ(query(card, "*IDN?\n"),
              "Brenholt Devices,SW-2040 Switch Unit card 2,BH5020331,0.9.4\n");
    EXPECT_EQ(generic<DeviceClear>(card)->error, 0);
    EXPECT_EQ(sim().instrument(5, 2)->clearCount, 1u);

    std::optional<DeviceReadStbResp> stb;
    if (ar488()) {
        // Its poll takes a primary only: polling 5 would be another device's status byte.
        const std::size_t before = heard(*road);
        stb = generic<DeviceReadStb>(card);
        EXPECT_EQ(stb->error, err::kOperationNotSupported);
        EXPECT_EQ(heard(*road), before) << "nothing went to the adapter";
    } else {
        ASSERT_EQ(write(card, "*SRE 0;*IDN?\n")->error, 0);
        stb = generic<DeviceReadStb>(card);
        EXPECT_EQ(stb->error, 0);
        EXPECT_EQ(stb->stb, gateway::kMavBit);
    }
}

TEST_P(Bridge, InterfaceOperationsMapOrAreRefusedUnsent) {
    const std::int32_t bus = link("gpib0");
    const unsigned ifcBefore = sim().bus().ifcCount;
    EXPECT_EQ(docmd(bus, docmd::kIfcControl, {}, 0)->error, 0);
    EXPECT_EQ(sim().bus().ifcCount, ifcBefore + 1);

    // ATN is released after every command the adapter sends, and cannot be held.
    EXPECT_EQ(docmd(bus, docmd::kAtnControl, {0}, 2)->error, 0);
    std::size_t before = heard(*road);
    EXPECT_EQ(docmd(bus, docmd::kAtnControl, {1}, 2)->error, err::kOperationNotSupported);
    EXPECT_EQ(heard(*road), before) << "nothing went to the adapter";

    EXPECT_EQ(busStatus(bus, busstatus::kSrq), 0);
    if (ar488()) {
        EXPECT_EQ(docmd(bus, docmd::kRenControl, {0}, 2)->error, 0);
        EXPECT_FALSE(sim().bus().ren);
        EXPECT_EQ(busStatus(bus, busstatus::kRemote), 0);
        EXPECT_EQ(docmd(bus, docmd::kRenControl, {1}, 2)->error, 0);
        EXPECT_TRUE(sim().bus().ren);
        EXPECT_EQ(busStatus(bus, busstatus::kRemote), 1);
    } else {
        before = heard(*road);
        EXPECT_EQ(docmd(bus, docmd::kRenControl, {0}, 2)->error, err::kOperationNotSupported);
        EXPECT_EQ(busStatus(bus, busstatus::kRemote), -err::kOperationNotSupported);
        EXPECT_EQ(heard(*road), before) << "nothing went to the adapter";
        EXPECT_TRUE(sim().bus().ren);
    }
}

TEST_P(Bridge, KnownCommandBytesMapToTheAdaptersCommandsAndOthersAreRefusedUnsent) {
    using namespace vxi11::gpib;
    const std::int32_t bus = link("gpib0");
    // UNL, MTA (own), MLA 22, SDC: the DMM is cleared. UNL, MLA 3, GET: the counter triggered.
    EXPECT_EQ(sendCommand(bus, {kUnl, kTalkBase, kListenBase + 22, kSdc}), 0);
    EXPECT_EQ(sim().instrument(22)->clearCount, 1u);
    EXPECT_EQ(sendCommand(bus, {kUnl, kListenBase + 3, kGet}), 0);
    EXPECT_EQ(sim().instrument(3)->triggerCount, 1u);
    EXPECT_EQ(sendCommand(bus, {kUnl, kListenBase + 3, kGtl}), 0);
    EXPECT_FALSE(sim().instrument(3)->remote);

    // Parallel poll configure has no `++` equivalent on either flavour.
    const std::size_t before = heard(*road);
    EXPECT_EQ(sendCommand(bus, {kUnl, kListenBase + 3, kPpc}), err::kOperationNotSupported);
    EXPECT_EQ(heard(*road), before) << "nothing went to the adapter";
    if (ar488()) {
        EXPECT_EQ(sendCommand(bus, {kDcl}), 0);
        EXPECT_EQ(sim().instrument(9)->clearCount, 1u);
        EXPECT_EQ(sendCommand(bus, {kLlo}), 0);
        EXPECT_TRUE(sim().instrument(9)->lockout);
    } else {
        // No universal commands on a Prologix: nothing of a sequence holding one goes out.
        EXPECT_EQ(sendCommand(bus, {kDcl}), err::kOperationNotSupported);
        EXPECT_EQ(sendCommand(bus, {kUnl, kListenBase + 22, kSdc, kLlo}),
                  err::kOperationNotSupported);
        EXPECT_EQ(heard(*road), before) << "nothing went to the adapter";
        EXPECT_EQ(sim().instrument(22)->clearCount, 1u);
    }
}

} // namespace
} // namespace bridgetest
