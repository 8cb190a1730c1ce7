// Time-outs through the bridge: every call ends within max(0.2 s, 5 %) of the client's
// time-out, whatever the adapter is busy with; the next call then works or says the adapter
// is busy, and nothing of an abandoned read reaches a later reader.

#include "BridgeFixture.h"

namespace bridgetest {
namespace {

using namespace vxi11;

TEST_P(Bridge, CallsToAnAbsentAddressEndByTheirTimeOutAndTheNextCallWorks) {
    const std::int32_t absent = link("gpib0," + std::to_string(kAbsentPad));
    std::optional<DeviceReadResp> r;
    EXPECT_TRUE(endedBy(timed([&] { write(absent, "*IDN?\n", flags::kEnd, 500); }), 500ms));
    EXPECT_TRUE(endedBy(timed([&] { r = read(absent, 100, 600); }), 600ms));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, err::kIoTimeout);
    std::optional<DeviceReadStbResp> stb;
    EXPECT_TRUE(endedBy(timed([&] { stb = generic<DeviceReadStb>(absent, 500); }), 500ms));
    ASSERT_TRUE(stb.has_value());
    EXPECT_NE(stb->error, 0) << "nobody answered the poll";

    const std::int32_t dmm = link("gpib0,22");
    EXPECT_EQ(query(dmm, "*IDN?\n"),
              "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\r\n");
}

TEST_P(Bridge, ATalkerSlowerThanThePerByteTimeOutIsReadWholeAndNoCallOutlastsItsTimeOut) {
    // One byte every 150 ms, the adapter's per-byte time-out 100 ms: each `++read` of the
    // adapter times out between two bytes, and the bridge asks again while its client waits.
    gateway::InstrumentFaults slow;
    slow.trickle = 150ms;
    ASSERT_TRUE(sim().setInstrumentFaults(3, std::nullopt, slow));
    const std::int32_t lid = link("gpib0,3");
    ASSERT_EQ(write(lid, "*OPC?;*OPC?\n")->error, 0);
    std::string got;
    for (int i = 0; i < 20; ++i) {
        std::optional<DeviceReadResp> r;
        EXPECT_TRUE(endedBy(timed([&] { r = read(lid, 100, 400); }), 400ms));
        ASSERT_TRUE(r.has_value());
        ASSERT_TRUE(r->error == 0 || r->error == err::kIoTimeout) << r->error;
        got.append(r->data.begin(), r->data.end());
        if ((r->reason & reason::kEnd) != 0) {
            break;
        }
    }
    EXPECT_EQ(got, "1;1\n");
}

/// An adapter whose per-byte time-out (1.5 s) is far longer than the clients' time-outs: what
/// it does for a call can outlast the call.
class SlowAdapter : public Bridge {
protected:
    void SetUp() override { start({bridgeBench(), 1500ms}); }
};

TEST_P(SlowAdapter, ASilentSerialPollEndsByItsTimeOutAndTheAdapterIsThenBusyOrFree) {
    const std::int32_t absent = link("gpib0," + std::to_string(kAbsentPad));
    std::optional<DeviceReadStbResp> stb;
    EXPECT_TRUE(endedBy(timed([&] { stb = generic<DeviceReadStb>(absent, 300); }), 300ms));
    ASSERT_TRUE(stb.has_value());
    EXPECT_EQ(stb->error, err::kIoTimeout);

    // The adapter waits out its own time-out: a short call meanwhile hears that it is busy,
    // one that can wait is served once it is free.
    const std::int32_t dmm = link("gpib0,22");
    std::optional<DeviceReadStbResp> busy;
    EXPECT_TRUE(endedBy(timed([&] { busy = generic<DeviceReadStb>(dmm, 200); }), 200ms));
    ASSERT_TRUE(busy.has_value());
    EXPECT_EQ(busy->error, err::kIoError);
    const auto free = generic<DeviceReadStb>(dmm, 3000);
    ASSERT_TRUE(free.has_value());
    EXPECT_EQ(free->error, 0);
}

TEST_P(SlowAdapter, AnAbandonedReadEndsByItsTimeOutAndItsLateAnswerReachesNobody) {
    // The answer comes 0.6 s after the query; the client gives up at 0.3 s, while the adapter,
    // which cannot be interrupted, goes on reading and gets it.
    gateway::InstrumentFaults late;
    late.crlf = true;
    late.answerDelay = 600ms;
    ASSERT_TRUE(sim().setInstrumentFaults(22, std::nullopt, late));
    const std::int32_t dmm = link("gpib0,22");
    ASSERT_EQ(write(dmm, "*IDN?\n")->error, 0);
    std::optional<DeviceReadResp> r;
    EXPECT_TRUE(endedBy(timed([&] { r = read(dmm, 1 << 16, 300); }), 300ms));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, err::kIoTimeout);
    EXPECT_TRUE(r->data.empty());

    late.answerDelay = 0ms;
    ASSERT_TRUE(sim().setInstrumentFaults(22, std::nullopt, late));
    const auto w = write(dmm, "MEAS:RES?\n", flags::kEnd, 3000);
    ASSERT_TRUE(w.has_value());
    EXPECT_EQ(w->error, 0);
    EXPECT_EQ(readMessage(dmm), "+4.700123E+03\r\n");
}

INSTANTIATE_TEST_SUITE_P(EveryAdapter, SlowAdapter,
                         ::testing::ValuesIn(testsupport::allBridgeCases()),
                         testsupport::bridgeCaseName);

} // namespace
} // namespace bridgetest
