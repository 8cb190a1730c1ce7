// Device links: names, writes and reads, instruments' IEEE 488.2 behaviour, faults.

#include "GatewayFixture.h"

using namespace vxi11;
using testrpc::GatewayFixture;
using testrpc::GatewayLan;
using namespace std::chrono_literals;

using GatewayLink = GatewayFixture;

TEST_F(GatewayLink, CreateLinkAcceptsGatewayNamesAndRefusesOthersWithTheRightError) {
    struct Case {
        const char* name;
        std::int32_t error;
    };
    const Case cases[] = {
        {"gpib0", 0},
        {"GPIB0,22", 0},
        {"hpib,22", 0},
        {"gpib,5,2", 0},
        {"gpib0,5,98", 0},
        {"hpib0", 0},
        {"gpib0,7", 0}, // valid address, nothing there: accepted as real gateways do
        {"gpib0,31", err::kInvalidAddress},
        {"gpib0,5,31", err::kInvalidAddress},
        {"gpib0,99999999999", err::kInvalidAddress},
        {"gpib0,x", err::kSyntaxError},
        {"", err::kSyntaxError},
        {"gpib0,", err::kSyntaxError},
        {"gpib0,1,2,3", err::kSyntaxError},
        {"inst0", err::kDeviceNotAccessible},
        {"gpib1,5", err::kDeviceNotAccessible},
    };
    for (const Case& c : cases) {
        CreateLinkParms p;
        p.device = c.name;
        const auto r = core.call<CreateLink>(p);
        ASSERT_TRUE(r.has_value()) << c.name;
        EXPECT_EQ(r->error, c.error) << c.name;
        if (r->error == 0) {
            EXPECT_EQ(r->abortPort, sim->abortPort());
            EXPECT_EQ(r->maxRecvSize, 65536u);
        }
    }
    EXPECT_EQ(sim->liveLinks(), 7u);
}

TEST_F(GatewayLan, ALanInstrumentIsADeviceOfItsOwnNamedWithoutRegardToCase) {
    const std::int32_t inst = link("INST0");
    const std::int32_t scope2 = link("scope_2");
    ASSERT_EQ(write(inst, "*IDN?\n"), 0);
    ASSERT_EQ(write(scope2, "*IDN?\n"), 0);
    EXPECT_EQ(text(*read(scope2)), "Acme,S2,1,1\n");
    const auto readStb = core.call<DeviceReadStb>(DeviceGenericParms{inst, 0, 0, 1000});
    EXPECT_EQ(readStb->stb & 0x10, 0x10) << "its own status byte: an answer waits";
    EXPECT_EQ(text(*read(inst)).rfind("Marrow Scientific,MX-3012", 0), 0u);
    // Not on the bus: no docmd, and going to remote asserts no bus line.
    EXPECT_EQ(docmd(inst, docmd::kBusStatus, {1}, 2)->error, err::kOperationNotSupported);
    EXPECT_EQ(core.call<DeviceRemote>(DeviceGenericParms{inst, 0, 0, 1000})->error, 0);
    EXPECT_TRUE(sim->instrument("inst0")->remote);
    EXPECT_FALSE(sim->bus().ren);
    const auto links = sim->links();
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].device, "inst0");
    EXPECT_EQ(links[0].requested, "INST0");
    // Its lock is its own.
    ASSERT_EQ(core.call<DeviceLock>(DeviceLockParms{inst, 0, 0})->error, 0);
    EXPECT_EQ(sim->lockHolder("Inst0"), inst);
    EXPECT_FALSE(sim->lockHolder("gpib0,9").has_value());
    CreateLinkParms other;
    other.device = "inst1";
    EXPECT_EQ(core.call<CreateLink>(other)->error, err::kDeviceNotAccessible);
}

TEST_F(GatewayLink, QueryAnswersEndWithEndAndTheInstrumentsTerminator) {
    const std::int32_t dmm = link("gpib0,22");
    ASSERT_EQ(write(dmm, "MEAS:VOLT:DC?\n"), 0);
    auto r = read(dmm);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, 0);
    EXPECT_EQ(text(*r), "+1.234567E+00\r\n");
    EXPECT_EQ(r->reason, reason::kEnd);

    const std::int32_t counter = link("gpib0,3");
    ASSERT_EQ(write(counter, "*idn?", flags::kEnd), 0) << "END alone ends the message";
    r = read(counter, 4096, 1000, '\n');
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(text(*r), "Talvik Labs,FC-330 Frequency Counter and Source,TL0330-118,1.07\n");
    EXPECT_EQ(r->reason, reason::kEnd | reason::kChr);
}

TEST_F(GatewayLink, LongAnswerComesInPiecesOfTheRequestedSizeUntilEnd) {
    const std::int32_t scope = link("gpib0,9");
    ASSERT_EQ(write(scope, "*IDN?\n"), 0);
    std::string all;
    int pieces = 0;
    while (true) {
        const auto r = read(scope, 40);
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->error, 0);
        ++pieces;
        all += text(*r);
        if (r->reason & reason::kEnd)
            break;
        EXPECT_EQ(r->reason, reason::kReqCnt);
        EXPECT_EQ(r->data.size(), 40u);
        ASSERT_LT(pieces, 10);
    }
    EXPECT_GT(all.size(), 100u);
    EXPECT_EQ(pieces, static_cast<int>((all.size() + 39) / 40));
    EXPECT_EQ(all.back(), '\n');
    EXPECT_EQ(sim->instrument(9)->outputQueueBytes, 0u);
}

TEST_F(GatewayLink, TermCharStopsTheReadInsideAnAnswer) {
    const std::int32_t dmm = link("gpib0,22");
    ASSERT_EQ(write(dmm, "*OPC?;*TST?\n"), 0);
    auto r = read(dmm, 4096, 1000, ';');
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(text(*r), "1;");
    EXPECT_EQ(r->reason, reason::kChr);
    r = read(dmm);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(text(*r), "0\r\n");
    EXPECT_EQ(r->reason, reason::kEnd);
}

TEST_F(GatewayLink, AbsentInstrumentFailsWritesWithIoErrorAndReadsWithTimeOut) {
    const std::int32_t lid = link("gpib0,7");
    EXPECT_EQ(write(lid, "*IDN?\n"), err::kIoError);
    const auto start = std::chrono::steady_clock::now();
    const auto r = read(lid, 100, 200);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, err::kIoTimeout);
    EXPECT_GE(elapsed, 200ms);
    EXPECT_LT(elapsed, 2s);
}

TEST_F(GatewayLink, SilentInstrumentTimesOutOnTime) {
    sim->setInstrumentFaults(3, std::nullopt, {0ms, true, false});
    const std::int32_t lid = link("gpib0,3");
    ASSERT_EQ(write(lid, "*IDN?\n"), 0);
    EXPECT_EQ(sim->instrument(3)->lastCommand, "*IDN?");
    const auto start = std::chrono::steady_clock::now();
    const auto r = read(lid, 100, 300);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, err::kIoTimeout);
    EXPECT_TRUE(r->data.empty());
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 1300ms);
}

TEST_F(GatewayLink, SlowAnswerArrivesAfterItsDelayWithinTheTimeOut) {
    sim->setInstrumentFaults(9, std::nullopt, {250ms, false, false});
    const std::int32_t lid = link("gpib0,9");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(write(lid, "*OPC?\n"), 0);
    auto r = read(lid, 100, 100);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, err::kIoTimeout) << "not ready yet";
    r = read(lid, 100, 5000);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, 0);
    EXPECT_EQ(text(*r), "1\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
}

TEST_F(GatewayLink, StatusByteReportsMavAndRqsAndSerialPollClearsRqs) {
    const std::int32_t iface = link("gpib0");
    const std::int32_t lid = link("gpib0,22");
    ASSERT_EQ(write(lid, "*SRE 16\n"), 0);
    DeviceGenericParms g;
    g.lid = lid;
    g.ioTimeout = 1000;
    EXPECT_EQ(core.call<DeviceReadStb>(g)->stb, 0u);
    ASSERT_EQ(write(lid, "*IDN?\n"), 0);
    EXPECT_EQ(busStatus(iface, busstatus::kSrq), 1);
    EXPECT_EQ(core.call<DeviceReadStb>(g)->stb, 0x50u);
    EXPECT_EQ(core.call<DeviceReadStb>(g)->stb, 0x10u) << "RQS cleared by the first poll";
    EXPECT_EQ(busStatus(iface, busstatus::kSrq), 0);
    ASSERT_TRUE(read(lid).has_value());
    EXPECT_EQ(core.call<DeviceReadStb>(g)->stb, 0u);

    g.lid = iface;
    EXPECT_EQ(core.call<DeviceReadStb>(g)->error, err::kOperationNotSupported);
}

TEST_F(GatewayLink, UnknownCommandQueuesACommandErrorAndSetsTheEventBit) {
    const std::int32_t lid = link("gpib0,3");
    ASSERT_EQ(write(lid, "BOGUS:CMD 1\n"), 0);
    EXPECT_EQ(sim->instrument(3)->errorCount, 1u);
    ASSERT_EQ(write(lid, "*ESR?;SYST:ERR?;SYST:ERR?\n"), 0);
    const auto r = read(lid);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(text(*r), "32;-113,\"Undefined header\";0,\"No error\"\n");
}

TEST_F(GatewayLink, ClearEmptiesQueuesAndTriggerRemoteLocalAreCounted) {
    const std::int32_t lid = link("gpib0,5,2");
    DeviceGenericParms g;
    g.lid = lid;
    g.ioTimeout = 1000;
    // An unread answer, then (since a new message would interrupt it) a message begun.
    ASSERT_EQ(write(lid, "*IDN?\n"), 0);
    EXPECT_GT(sim->instrument(5, 2)->outputQueueBytes, 0u);
    EXPECT_EQ(core.call<DeviceClear>(g)->error, 0);
    EXPECT_EQ(sim->instrument(5, 2)->outputQueueBytes, 0u);
    ASSERT_EQ(write(lid, "ROUT", 0), 0);
    EXPECT_EQ(sim->instrument(5, 2)->inputQueue, "ROUT");
    EXPECT_EQ(core.call<DeviceClear>(g)->error, 0);
    EXPECT_EQ(core.call<DeviceTrigger>(g)->error, 0);
    EXPECT_EQ(core.call<DeviceTrigger>(g)->error, 0);
    EXPECT_EQ(core.call<DeviceRemote>(g)->error, 0);
    auto snap = sim->instrument(5, 2);
    ASSERT_TRUE(snap.has_value());
    EXPECT_EQ(snap->inputQueue, "");
    EXPECT_EQ(snap->clearCount, 2u);
    EXPECT_EQ(snap->triggerCount, 2u);
    EXPECT_TRUE(snap->remote);
    EXPECT_TRUE(sim->bus().ren);
    EXPECT_EQ(core.call<DeviceLocal>(g)->error, 0);
    EXPECT_FALSE(sim->instrument(5, 2)->remote);

    const std::int32_t absent = link("gpib0,8");
    g.lid = absent;
    EXPECT_EQ(core.call<DeviceTrigger>(g)->error, err::kIoError);
}

TEST_F(GatewayLink, InjectedFaultsFailOneCallOrDropTheConnection) {
    const std::int32_t lid = link("gpib0,22");
    sim->failNextCall(lid, err::kIoError);
    EXPECT_EQ(write(lid, "*IDN?\n"), err::kIoError);
    EXPECT_EQ(sim->instrument(22)->lastCommand, "") << "a failed call does nothing";
    EXPECT_EQ(write(lid, "*IDN?\n"), 0);

    sim->dropNextCall(lid);
    EXPECT_FALSE(read(lid).has_value());
    EXPECT_TRUE(GatewayFixture::eventually([&] { return sim->liveLinks() == 0; }));
    const auto log = sim->destroyedLinks();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].byCall);
    EXPECT_EQ(log[0].device, "gpib0,22");
}

TEST_F(GatewayLink, DestroyLinkIsLoggedAndTheIdIsThenInvalid) {
    const std::int32_t a = link("gpib0");
    const std::int32_t b = link("gpib0,22");
    EXPECT_NE(a, b);
    EXPECT_EQ(core.call<DestroyLink>({b})->error, 0);
    EXPECT_EQ(core.call<DestroyLink>({a})->error, 0);
    EXPECT_EQ(core.call<DestroyLink>({a})->error, err::kInvalidLinkIdentifier);
    EXPECT_EQ(write(b, "x"), err::kInvalidLinkIdentifier);
    const auto log = sim->destroyedLinks();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].device, "gpib0,22");
    EXPECT_EQ(log[1].device, "gpib0");
    EXPECT_TRUE(log[0].byCall && log[1].byCall);
}
