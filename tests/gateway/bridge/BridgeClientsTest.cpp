// Clients of both protocols at once through one adapter: service requests reach each of them,
// exchanges on several addresses stay apart, locks hold across protocols, and an adapter that
// goes away and comes back leaves the gateway serving and the links usable.

#include "../HislipClient.h"
#include "../InterruptListener.h"
#include "BridgeFixture.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace bridgetest {
namespace {

using namespace vxi11;

const std::string kDmmIdn = "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\r\n";

/// How many times the adapter was asked for its SRQ line so far.
std::size_t srqAsks(const testsupport::LoopbackBridge& road) {
    const auto heard = road.commandsHeard();
    return static_cast<std::size_t>(std::count(heard.begin(), heard.end(), "++srq"));
}

TEST_P(Bridge, AServiceRequestReachesVxi11AndHislipAndTheRequesterStillPollsItsRqs) {
    testrpc::InterruptListener channel;
    ASSERT_EQ(core.call<CreateIntrChan>(channel.remoteFunc())->error, 0);
    ASSERT_TRUE(channel.accept());
    const std::int32_t dmm = link("gpib0,22");
    // Nobody wants service requests yet: the line is not asked about.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(srqAsks(*road), 0u);

    DeviceEnableSrqParms enable;
    enable.lid = dmm;
    enable.enable = true;
    enable.handle = {'d', 'm', 'm'};
    ASSERT_EQ(core.call<DeviceEnableSrq>(enable)->error, 0);
    // Now it is, every 100 ms and no more often.
    const auto from = Clock::now();
    ASSERT_TRUE(eventually([&] { return srqAsks(*road) >= 4; }));
    EXPECT_GE(Clock::now() - from, 300ms);
    testhislip::RawSession session(road->gateway().hislipPort());
    ASSERT_TRUE(session.open("hislip22"));

    // MAV raises RQS, and the DMM asserts SRQ.
    ASSERT_EQ(write(dmm, "*SRE 16;*IDN?\n")->error, 0);
    EXPECT_EQ(channel.nextHandle().value_or("nothing"), "dmm");
    const auto request = session.async.receive();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->header.type, hislip::MessageType::AsyncServiceRequest);

    // The bridge's own poll found the requester; the requester's poll still sees RQS.
    const auto stb = generic<DeviceReadStb>(dmm);
    ASSERT_TRUE(stb.has_value());
    EXPECT_EQ(stb->error, 0);
    EXPECT_EQ(stb->stb & 0x50, 0x50) << "RQS and MAV";
}

TEST_P(Bridge, HislipNamesAnInstrumentEitherWayAndCarriesEveryByte) {
    testhislip::RawSession binary(road->gateway().hislipPort());
    ASSERT_TRUE(binary.open("hislip7"));
    EXPECT_EQ(binary.query("BIN?\n"), everyByte() + "\n");
    testhislip::RawSession card(road->gateway().hislipPort());
    ASSERT_TRUE(card.open("gpib0,5,2"));
    EXPECT_EQ(card.query("*IDN?\n"),
              "Brenholt Devices,SW-2040 Switch Unit card 2,BH5020331,0.9.4\n");
}

TEST_P(Bridge, FourClientsOnTheirOwnAddressesGetEveryAnswerRight) {
    const std::vector<std::pair<std::string, std::string>> devices = {
        {"gpib0,3", "Talvik Labs,FC-330 Frequency Counter and Source,TL0330-118,1.07\n"},
        {"gpib0,22", kDmmIdn},
        {"gpib0,7", "Bin,1,2,3\n"},
        {"gpib0,5,2", "Brenholt Devices,SW-2040 Switch Unit card 2,BH5020331,0.9.4\n"}};
    // A HiSLIP session wants service requests: the SRQ line is asked about meanwhile.
    testhislip::RawSession watching(road->gateway().hislipPort());
    ASSERT_TRUE(watching.open("hislip9"));
    const std::size_t asksBefore = srqAsks(*road);
    const auto start = Clock::now();
    std::atomic<int> right{0};
    std::vector<std::string> wrong(devices.size());
    std::vector<std::thread> clients;
    for (std::size_t c = 0; c < devices.size(); ++c) {
        clients.emplace_back([&, c] {
            testrpc::TestClient client;
            if (!client.connect(road->gateway().corePort())) {
                wrong[c] = "no connection";
                return;
            }
            const std::int32_t lid = link(devices[c].first, &client);
            for (int i = 0; i < 200; ++i) {
                const std::string answer = query(lid, "*IDN?\n", &client);
                if (answer != devices[c].second) {
                    wrong[c] = answer;
                    return;
                }
                ++right;
            }
        });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(right.load(), 800);
    const auto tenths = (Clock::now() - start) / 100ms;
    EXPECT_LE(srqAsks(*road) - asksBefore, static_cast<std::size_t>(tenths) + 2)
        << "the line is asked about every 100 ms, however busy the adapter";
    for (std::size_t c = 0; c < devices.size(); ++c) {
        EXPECT_EQ(wrong[c], "") << devices[c].first;
    }
}

TEST_P(Bridge, TwoClientsLockingOneAddressGetOnlyTheirOwnAnswers) {
    const std::vector<std::pair<std::string, std::string>> asks = {
        {"MEAS:VOLT:DC?\n", "+1.234567E+00\r\n"}, {"MEAS:RES?\n", "+4.700123E+03\r\n"}};
    std::vector<std::string> wrong(asks.size());
    std::vector<std::thread> clients;
    for (std::size_t c = 0; c < asks.size(); ++c) {
        clients.emplace_back([&, c] {
            testrpc::TestClient client;
            if (!client.connect(road->gateway().corePort())) {
                wrong[c] = "no connection";
                return;
            }
            const std::int32_t lid = link("gpib0,22", &client);
            DeviceLockParms lock;
            lock.lid = lid;
            lock.flags = flags::kWaitLock;
            lock.lockTimeout = 10000;
            DeviceGenericParms unlock;
            unlock.lid = lid;
            for (int i = 0; i < 50 && wrong[c].empty(); ++i) {
                const auto locked = client.call<DeviceLock>(lock);
                if (!locked || locked->error != 0) {
                    wrong[c] = "lock failed";
                    break;
                }
                const std::string answer = query(lid, asks[c].first, &client);
                if (answer != asks[c].second) {
                    wrong[c] = answer;
                }
                client.call<DeviceUnlock>(DeviceLink{lid});
            }
        });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(wrong[0], "");
    EXPECT_EQ(wrong[1], "");
}

TEST_P(Bridge, AHislipLockHoldsOffAVxi11Client) {
    testhislip::RawSession session(road->gateway().hislipPort());
    ASSERT_TRUE(session.open("hislip22"));
    ASSERT_EQ(session.lock(0), 1) << "granted";
    const std::int32_t dmm = link("gpib0,22");
    const auto refused = write(dmm, "*IDN?\n");
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->error, err::kDeviceLockedByAnotherLink);
    EXPECT_EQ(session.query("*IDN?\n"), kDmmIdn);
    ASSERT_EQ(session.release(), 1) << "released";
    EXPECT_EQ(query(dmm, "*IDN?\n"), kDmmIdn);
}

TEST_P(Bridge, HislipWaitsForAnswersThatComeLateOrNeverEndHoldNobody) {
    testhislip::RawSession session(road->gateway().hislipPort());
    ASSERT_TRUE(session.open("hislip3"));
    session.send("NOPE?\n"); // the counter does not know it, and answers nothing
    const std::int32_t dmm = link("gpib0,22");
    EXPECT_EQ(query(dmm, "*IDN?\n"), kDmmIdn) << "another client is served meanwhile";

    // The bridge cannot know that no answer comes: the session's next message interrupts the
    // wait for it, and its answer, late as it is, comes.
    gateway::InstrumentFaults faults;
    faults.answerDelay = 500ms;
    ASSERT_TRUE(sim().setInstrumentFaults(3, std::nullopt, faults));
    session.send("*IDN?\n");
    const auto interrupted = session.sync.receive();
    ASSERT_TRUE(interrupted.has_value());
    EXPECT_EQ(interrupted->header.type, hislip::MessageType::Interrupted);
    EXPECT_EQ(session.response(),
              "Talvik Labs,FC-330 Frequency Counter and Source,TL0330-118,1.07\n");

    // An answer that never ends goes out as it comes, and then holds nobody either.
    faults.answerDelay = 0ms;
    faults.noEnd = true;
    ASSERT_TRUE(sim().setInstrumentFaults(3, std::nullopt, faults));
    session.send("*OPC?\n");
    const auto part = session.sync.receive();
    ASSERT_TRUE(part.has_value());
    EXPECT_EQ(part->header.type, hislip::MessageType::Data);
    EXPECT_EQ(part->text(), "1\n");
    EXPECT_EQ(query(dmm, "*IDN?\n"), kDmmIdn);
}

TEST_P(Bridge, AMessageWhoseClientLeftRightAfterSendingItStillReachesTheInstrument) {
    // A session waiting for an answer that does not come keeps the adapter busy, turn by turn:
    // the trigger and the write below wait for a turn while their client is already gone.
    testhislip::RawSession waiting(road->gateway().hislipPort());
    ASSERT_TRUE(waiting.open("hislip3"));
    waiting.send("NOPE?\n");
    {
        testhislip::RawSession leaving(road->gateway().hislipPort());
        ASSERT_TRUE(leaving.open("hislip22"));
        leaving.trigger();
        leaving.send("*ESE 4\n");
    }
    EXPECT_TRUE(eventually([&] { return sim().instrument(22)->triggerCount == 1; }));
    EXPECT_TRUE(eventually([&] {
        const auto heard = sim().plusplusHeard();
        return std::find(heard.begin(), heard.end(), "*ESE 4\n") != heard.end();
    }));
    const std::int32_t dmm = link("gpib0,22");
    EXPECT_EQ(query(dmm, "*ESE?\n"), "4\r\n");
}

TEST_P(Bridge, AnUnpluggedAdapterFailsCallsInTimeAndLinksWorkAgainOnceItIsBack) {
    const std::int32_t dmm = link("gpib0,22");
    ASSERT_EQ(query(dmm, "*IDN?\n"), kDmmIdn);
    testhislip::RawSession session(road->gateway().hislipPort());
    ASSERT_TRUE(session.open("hislip9"));

    road->unplug();
    for (int i = 0; i < 2; ++i) {
        std::optional<DeviceWriteResp> w;
        EXPECT_TRUE(endedBy(timed([&] { w = write(dmm, "*IDN?\n", flags::kEnd, 1000); }), 1s));
        ASSERT_TRUE(w.has_value()) << "the gateway still answers";
        EXPECT_EQ(w->error, err::kIoError);
    }
    EXPECT_TRUE(eventually([&] {
        const auto log = road->log();
        return std::any_of(log.begin(), log.end(), [](const std::string& l) {
            return l.find("lost") != std::string::npos;
        });
    }));
    const std::int32_t counter = link("gpib0,3"); // a new link all the same

    ASSERT_TRUE(road->replug());
    const auto back = Clock::now();
    EXPECT_TRUE(eventually([&] { return query(dmm, "*IDN?\n") == kDmmIdn; }, 5s));
    EXPECT_LT(Clock::now() - back, 2500ms) << "looked for about once a second";
    EXPECT_EQ(query(counter, "*IDN?\n"),
              "Talvik Labs,FC-330 Frequency Counter and Source,TL0330-118,1.07\n");
    EXPECT_EQ(session.query("ACQ:STATE?\n"), "RUN\n");
    const auto log = road->log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.find(" back: ") != std::string::npos;
    }));
}

} // namespace
} // namespace bridgetest
