// The HiSLIP server's exchanges, spoken raw: synchronized mode's interrupted answers and
// RMT rules, MAV in the status byte, service requests (of the right instrument only), device
// clear, and trigger.

#include "HislipClient.h"

using namespace testhislip;
using gateway::InstrumentFaults;

namespace {

const std::string kDmmIdn = "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\r\n";
constexpr std::uint8_t kMav = 0x10;

/// The DMM at 22 answers `delay` after each query.
void slowDmm(gateway::Simulator& sim, std::chrono::milliseconds delay) {
    InstrumentFaults faults;
    faults.answerDelay = delay;
    faults.crlf = true;
    ASSERT_TRUE(sim.setInstrumentFaults(22, std::nullopt, faults));
}

/// The next async message; nothing but `type` is expected there now.
std::optional<Msg> nextAsync(RawSession& s, MessageType type) {
    auto m = s.async.receive();
    EXPECT_TRUE(m.has_value());
    if (m) {
        EXPECT_EQ(m->header.type, type);
    }
    return m;
}

/// True when nothing came on the async channel before the answer to a lock-info request.
bool asyncQuiet(RawSession& s) {
    const auto m = s.request(hislip::asyncLockInfo());
    return m && m->header.type == MessageType::AsyncLockInfoResponse;
}

} // namespace

TEST_F(HislipFixture, SynchronizedAQueryWhileAnAnswerIsAwaitedInterruptsIt) {
    RawSession s = opened("hislip22");
    slowDmm(*sim, 2s);
    s.send("*IDN?\n");
    const std::uint32_t second = s.send("MEAS:VOLT:DC?\n");
    const auto asyncNotice = nextAsync(s, MessageType::AsyncInterrupted);
    ASSERT_TRUE(asyncNotice);
    EXPECT_EQ(asyncNotice->header.parameter, second);
    const auto notice = s.sync.receive();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->header.type, MessageType::Interrupted);
    EXPECT_EQ(notice->header.parameter, second);
    std::vector<hislip::Header> headers;
    EXPECT_EQ(s.response(&headers), "+1.234567E+00\r\n") << "no DataEND of the first";
    EXPECT_EQ(headers.back().parameter, second);
    slowDmm(*sim, 0ms);
    EXPECT_EQ(s.query("SYST:ERR?\n"), "-410,\"Query INTERRUPTED\"\r\n");
}

TEST_F(HislipFixture, SynchronizedAMessageThatLeavesAnAnswerUnreadIsRecordedButNotAnswered) {
    RawSession s = opened();
    ASSERT_TRUE(s.query("*IDN?\n"));
    s.rmt = false; // as if the application had not had the answer
    s.send("*ESE 0\n");
    // Nothing came for it on the sync channel: the next message there answers this query.
    EXPECT_EQ(s.query("SYST:ERR?\n"), "-410,\"Query INTERRUPTED\"\n");
    EXPECT_EQ(s.query("SYST:ERR?\n"), "0,\"No error\"\n");
    // A client that keeps its delivered flag through a clear (as some do) records nothing.
    ASSERT_EQ(s.clear(false), false);
    s.rmt = true;
    EXPECT_EQ(s.query("SYST:ERR?\n"), "0,\"No error\"\n");
}

TEST_F(HislipFixture, MavIsSetOnceAResponseWentAndClearedWhenItArrived) {
    RawSession s = opened();
    ASSERT_TRUE(s.query("*IDN?\n"));
    auto status = [&](bool rmt, std::uint32_t id) {
        const auto m = s.request(hislip::asyncStatusQuery(rmt, id));
        return m && m->header.type == MessageType::AsyncStatusResponse ? m->header.control : -1;
    };
    EXPECT_EQ(status(false, s.lastId) & kMav, kMav);
    EXPECT_EQ(status(false, s.lastId + hislip::kMessageIdStep) & kMav, 0)
        << "a query naming a message not received yet";
    EXPECT_EQ(status(true, s.lastId) & kMav, 0);
    EXPECT_EQ(status(false, s.lastId) & kMav, 0) << "the response arrived";

    ASSERT_TRUE(s.query("*IDN?\n"));
    EXPECT_EQ(s.status() & kMav, 0) << "RMT-delivered on the status query itself";
}

TEST_F(HislipFixture, OneServiceRequestPerResponseAndNoneAgainUntilAStatusQuery) {
    RawSession s = opened();
    s.send("*SRE 16\n");
    ASSERT_TRUE(s.query("*IDN?\n"));
    const auto srq = nextAsync(s, MessageType::AsyncServiceRequest);
    ASSERT_TRUE(srq);
    EXPECT_EQ(srq->header.control, 0x50);
    ASSERT_TRUE(s.query("*IDN?\n"));
    EXPECT_TRUE(asyncQuiet(s)) << "a second response before any status query";
    EXPECT_EQ(s.status(), 0x00) << "the response arrived (RMT), MAV and RQS are gone";
    ASSERT_TRUE(s.query("*IDN?\n"));
    nextAsync(s, MessageType::AsyncServiceRequest);
}

TEST_F(HislipFixture, ServiceRequestsReachOnlyTheSessionsOfTheInstrumentThatAsks) {
    RawSession lan = opened("inst0");
    RawSession dmm = opened("hislip22");
    RawSession counter = opened("hislip3");
    for (RawSession* s : {&lan, &dmm, &counter}) {
        s->send("*SRE 32\n*ESE 1\n"); // event summary on *OPC
    }
    lan.send("*OPC\n");
    nextAsync(lan, MessageType::AsyncServiceRequest);
    EXPECT_TRUE(asyncQuiet(dmm));
    EXPECT_TRUE(asyncQuiet(counter));

    dmm.send("*OPC\n");
    const auto srq = nextAsync(dmm, MessageType::AsyncServiceRequest);
    ASSERT_TRUE(srq);
    EXPECT_EQ(srq->header.control & 0x60, 0x60);
    EXPECT_TRUE(asyncQuiet(counter)) << "another device on the same bus";
    EXPECT_TRUE(asyncQuiet(lan));
    // The counter asks while the DMM still holds the bus's SRQ line: its session hears it.
    counter.send("*OPC\n");
    nextAsync(counter, MessageType::AsyncServiceRequest);
}

TEST_F(HislipFixture, DeviceClearDropsWhatIsPendingGrantsTheModeAskedForAndRestartsIds) {
    RawSession s = opened("hislip22");
    const unsigned clearsBefore = sim->instrument(22)->clearCount;
    slowDmm(*sim, 3s);
    s.send("*IDN?\n");
    // Its answer is awaited when the clear comes.
    ASSERT_TRUE(eventually([&] { return sim->instrument(22)->lastCommand == "*IDN?"; }));
    ASSERT_TRUE(s.request(hislip::asyncDeviceClear()));
    s.send("MEAS:VOLT:DC?\n"); // before DeviceClearComplete: dropped
    s.sync.send(hislip::deviceClearComplete(hislip::control::kOverlapped));
    const auto ack = s.sync.receive();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->header.type, MessageType::DeviceClearAcknowledge) << "nothing before it";
    EXPECT_EQ(ack->header.control, hislip::control::kOverlapped);
    EXPECT_EQ(sim->instrument(22)->clearCount, clearsBefore + 1);
    EXPECT_EQ(sim->instrument(22)->lastCommand, "*IDN?");
    EXPECT_EQ(sim->instrument(22)->outputQueueBytes, 0u);

    slowDmm(*sim, 0ms);
    s.nextId = hislip::kFirstMessageId;
    std::vector<hislip::Header> headers;
    s.send("*IDN?\n");
    EXPECT_EQ(s.response(&headers), kDmmIdn);
    EXPECT_EQ(headers.front().parameter, hislip::kFirstMessageId);
    EXPECT_EQ(s.clear(false), false) << "and back to synchronized";
    EXPECT_EQ(s.query("*IDN?\n"), kDmmIdn);
}

TEST_F(HislipFixture, TriggerReachesTheInstrumentAndQueriesBackToBackAreAllAnsweredOverlapped) {
    RawSession s = opened("hislip9");
    s.trigger();
    s.trigger();
    EXPECT_EQ(s.query("*OPC?\n"), "1\n");
    EXPECT_EQ(sim->instrument(9)->triggerCount, 2u);

    ASSERT_EQ(s.clear(true), true);
    s.send("*OPC?\n*OPC?\n");
    s.send("MEAS:FREQ?\n");
    EXPECT_EQ(s.response(), "1\n");
    EXPECT_EQ(s.response(), "1\n");
    EXPECT_EQ(s.response(), "+9.99987E+05\n");
}
