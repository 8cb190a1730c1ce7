// HiSLIP locks, spoken raw: exclusive and shared locks between sessions, what a client without
// the lock may still do, releases, device clear and closing against waiting requests,
// remote/local; and the one lock table that VXI-11 links and HiSLIP sessions share.

#include "HislipClient.h"
#include "TestClient.h"

#include <future>

using namespace testhislip;
namespace control = hislip::control;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kInst0Idn =
    "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0\n";

/// The lock-info answer: (exclusive granted, holders), or (-1, -1).
std::pair<int, long> lockInfo(RawSession& s) {
    const auto m = s.request(hislip::asyncLockInfo());
    if (!m || m->header.type != MessageType::AsyncLockInfoResponse) {
        return {-1, -1};
    }
    return {m->header.control, static_cast<long>(m->header.parameter)};
}

/// A VXI-11 link to `device` on its own connection.
struct Vxi11Link {
    Vxi11Link(std::uint16_t port, const std::string& device) {
        EXPECT_TRUE(client.connect(port));
        vxi11::CreateLinkParms p;
        p.device = device;
        const auto r = client.call<vxi11::CreateLink>(p);
        EXPECT_TRUE(r && r->error == 0);
        lid = r ? r->lid : -1;
    }
    /// device_write of "*IDN?\n", waiting up to `lockTimeout` ms for a lock: its error.
    std::int32_t write(std::uint32_t lockTimeout = 0) {
        vxi11::DeviceWriteParms p;
        p.lid = lid;
        p.ioTimeout = 1000;
        p.lockTimeout = lockTimeout;
        p.flags = vxi11::flags::kEnd | (lockTimeout > 0 ? vxi11::flags::kWaitLock : 0);
        const std::string text = "*IDN?\n";
        p.data.assign(text.begin(), text.end());
        const auto r = client.call<vxi11::DeviceWrite>(p);
        return r ? r->error : -1;
    }
    std::int32_t lock(std::uint32_t lockTimeout) {
        const auto r = client.call<vxi11::DeviceLock>(
            {lid, lockTimeout > 0 ? vxi11::flags::kWaitLock : 0, lockTimeout});
        return r ? r->error : -1;
    }
    std::int32_t unlock() {
        const auto r = client.call<vxi11::DeviceUnlock>({lid});
        return r ? r->error : -1;
    }

    testrpc::TestClient client;
    std::int32_t lid = -1;
};

} // namespace

TEST_F(HislipFixture, AnExclusiveLockHoldsOffOthersUntilItsTimeOutAndIsReleasedOnce) {
    RawSession a = opened();
    RawSession b = opened();
    EXPECT_EQ(a.lock(0), control::kLockGranted);
    EXPECT_EQ(b.lock(0), control::kLockFailed);
    const auto start = Clock::now();
    EXPECT_EQ(b.lock(500), control::kLockFailed);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 450ms);
    EXPECT_LT(waited, 3000ms);
    EXPECT_EQ(a.lock(0), control::kLockError) << "already held";
    EXPECT_EQ(a.release(), control::kReleasedExclusive);
    EXPECT_EQ(a.release(), control::kLockError);
    EXPECT_EQ(b.lock(0), control::kLockGranted);
}

TEST_F(HislipFixture, SharedLocksGoToTheSameKeyAndAHolderMayTakeTheExclusiveOneBeside) {
    RawSession a = opened();
    RawSession b = opened();
    RawSession c = opened();
    EXPECT_EQ(a.lock(0, "k"), control::kLockGranted);
    EXPECT_EQ(b.lock(0, "k"), control::kLockGranted);
    EXPECT_EQ(b.lock(0, "k"), control::kLockError);
    EXPECT_EQ(c.lock(200, "x"), control::kLockFailed);
    EXPECT_EQ(c.lock(0), control::kLockFailed);
    EXPECT_EQ(a.lock(0), control::kLockGranted) << "a shared holder takes the exclusive lock";
    EXPECT_EQ(lockInfo(c), std::pair(1, 2L));
    EXPECT_EQ(b.lock(0), control::kLockFailed) << "the other shared holder waits for it";

    // With the exclusive lock held, only its holder reaches the instrument.
    b.send("*IDN?\n");
    EXPECT_EQ(a.query("*IDN?\n"), kInst0Idn);
    EXPECT_EQ(a.release(), control::kReleasedExclusive);
    EXPECT_EQ(b.response(), kInst0Idn) << "the shared holders again";
    EXPECT_EQ(lockInfo(c), std::pair(0, 2L));
    EXPECT_EQ(a.release(), control::kReleasedShared);
    EXPECT_EQ(c.release(), control::kLockError);
    EXPECT_EQ(b.release(), control::kReleasedShared);
    EXPECT_EQ(lockInfo(c), std::pair(0, 0L));
}

TEST_F(HislipFixture, WithoutTheLockWritesWaitButAsyncRequestsAreAnsweredAndClosingFreesIt) {
    RawSession a = opened();
    RawSession b = opened();
    EXPECT_EQ(a.lock(0), control::kLockGranted);
    b.send("*IDN?\n");
    EXPECT_EQ(b.status() & 0x10, 0);
    EXPECT_EQ(lockInfo(b), std::pair(1, 1L));
    const auto size = b.request(hislip::asyncMaximumMessageSize(4096));
    ASSERT_TRUE(size);
    EXPECT_EQ(size->header.type, MessageType::AsyncMaximumMessageSizeResponse);
    b.async.send(hislip::asyncLockRequest(10000, {}));
    EXPECT_EQ(sim->instrument("inst0")->lastCommand, "") << "b's write waits";

    a.sync.close();
    const auto granted = b.async.receive();
    ASSERT_TRUE(granted);
    EXPECT_EQ(granted->header.type, MessageType::AsyncLockResponse);
    EXPECT_EQ(granted->header.control, control::kLockGranted);
    EXPECT_EQ(b.response(), kInst0Idn);
}

TEST_F(HislipFixture, ADeviceClearAnswersAWaitingLockRequestFirst) {
    RawSession a = opened();
    RawSession b = opened();
    EXPECT_EQ(a.lock(0), control::kLockGranted);
    b.async.send(hislip::asyncLockRequest(30000, {}));
    ASSERT_TRUE(eventually([&] { return sim->lockInfo("inst0").holders == 1; }));
    b.async.send(hislip::asyncDeviceClear());
    const auto answer = b.async.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->header.type, MessageType::AsyncLockResponse);
    EXPECT_EQ(answer->header.control, control::kLockFailed);
    const auto ack = b.async.receive();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->header.type, MessageType::AsyncDeviceClearAcknowledge);
}

TEST_F(HislipFixture, AReleaseNamingAMessageStillUnderWayWaitsForIt) {
    gateway::InstrumentFaults slow;
    slow.answerDelay = 2s;
    ASSERT_TRUE(sim->setInstrumentFaults(22, std::nullopt, slow));
    RawSession s = opened("hislip22");
    ASSERT_EQ(s.lock(0), hislip::control::kLockGranted);
    const std::uint32_t id = s.send("*IDN?\n"); // carried out once its slow answer went
    ASSERT_TRUE(eventually([&] { return sim->instrument(22)->lastCommand == "*IDN?"; }));
    s.async.send(hislip::asyncLockRelease(id));
    EXPECT_FALSE(s.async.receive(300ms)) << "released while its message was under way";
    EXPECT_TRUE(s.response());
    const auto released = s.async.receive();
    ASSERT_TRUE(released);
    EXPECT_EQ(released->header.control, hislip::control::kReleasedExclusive);
    EXPECT_EQ(sim->lockInfo("gpib0,22").holders, 0u);
}

TEST_F(HislipFixture, AReleaseNamingAMessageNeverReceivedTakesEffectAtOnce) {
    RawSession s = opened();
    for (const std::uint32_t id : {hislip::kNoMessageId, 0u, 0x12345678u}) {
        EXPECT_EQ(s.lock(0), control::kLockGranted);
        EXPECT_EQ(s.release(id), control::kReleasedExclusive) << id;
    }
    ASSERT_TRUE(s.query("*IDN?\n"));
    EXPECT_EQ(s.lock(0), control::kLockGranted);
    EXPECT_EQ(s.release(), control::kReleasedExclusive) << "a message carried out already";
}

TEST_F(HislipFixture, RemoteLocalRequestsFollowTheStateTableAndAreAnsweredWithZeros) {
    RawSession s = opened();
    struct Step {
        std::uint8_t code;
        bool ren, lockout, remote;
    };
    const Step steps[] = {{1, true, false, false}, {3, true, false, true},
                          {6, true, false, false}, {4, true, true, false},
                          {5, true, true, true},   {0, false, false, false},
                          {5, true, true, true},   {2, false, false, false}};
    for (const Step& step : steps) {
        const auto m = s.request(hislip::asyncRemoteLocalControl(step.code, s.lastId));
        ASSERT_TRUE(m);
        EXPECT_EQ(m->header.type, MessageType::AsyncRemoteLocalResponse);
        EXPECT_EQ(m->header.control, 0);
        EXPECT_EQ(m->header.parameter, 0u);
        const auto inst0 = sim->instrument("inst0");
        EXPECT_EQ(inst0->remoteEnable, step.ren) << int(step.code);
        EXPECT_EQ(inst0->lockout, step.lockout) << int(step.code);
        EXPECT_EQ(inst0->remote, step.remote) << int(step.code);
    }
    ASSERT_TRUE(s.query("*IDN?\n"));
    EXPECT_FALSE(sim->instrument("inst0")->remote) << "remote disabled";
    s.request(hislip::asyncRemoteLocalControl(1, s.lastId));
    ASSERT_TRUE(s.query("*IDN?\n"));
    EXPECT_TRUE(sim->instrument("inst0")->remote) << "a message goes to remote when enabled";

    // Another client's lock: answered at once, carried out when the lock goes.
    RawSession holder = opened();
    ASSERT_EQ(holder.lock(0), control::kLockGranted);
    ASSERT_TRUE(s.request(hislip::asyncRemoteLocalControl(6, s.lastId)));
    EXPECT_TRUE(sim->instrument("inst0")->remote);
    EXPECT_EQ(holder.release(), control::kReleasedExclusive);
    EXPECT_TRUE(eventually([&] { return !sim->instrument("inst0")->remote; }));

    // On the bus, remote enable is the REN line.
    RawSession dmm = opened("hislip22");
    dmm.request(hislip::asyncRemoteLocalControl(3, dmm.lastId));
    EXPECT_TRUE(sim->bus().ren);
    EXPECT_TRUE(sim->instrument(22)->remote);
    dmm.request(hislip::asyncRemoteLocalControl(0, dmm.lastId));
    EXPECT_FALSE(sim->bus().ren);
    EXPECT_FALSE(sim->instrument(22)->remote);
}

TEST_F(HislipFixture, VxiLinksAndHislipSessionsShareOneLockTable) {
    RawSession s = opened();
    Vxi11Link link(sim->corePort(), "inst0");
    EXPECT_EQ(s.lock(0), control::kLockGranted);
    EXPECT_EQ(link.write(), vxi11::err::kDeviceLockedByAnotherLink);
    EXPECT_EQ(link.write(200), vxi11::err::kDeviceLockedByAnotherLink);
    EXPECT_EQ(link.lock(0), vxi11::err::kDeviceLockedByAnotherLink);
    auto waiting = std::async(std::launch::async, [&] { return link.lock(10000); });
    EXPECT_EQ(s.release(), control::kReleasedExclusive);
    EXPECT_EQ(waiting.get(), 0) << "the waiting link gets it";
    EXPECT_EQ(sim->lockHolder("inst0"), link.lid);

    // A link's lock makes a HiSLIP request wait, then fail, and holds off its data.
    EXPECT_EQ(s.lock(300), control::kLockFailed);
    s.send("*IDN?\n");
    EXPECT_EQ(link.unlock(), 0);
    EXPECT_EQ(s.response(), kInst0Idn);
    EXPECT_EQ(s.lock(0), control::kLockGranted);
    EXPECT_EQ(s.release(), control::kReleasedExclusive);

    // A shared lock holds off a link like any lock its holder has.
    EXPECT_EQ(s.lock(0, "key"), control::kLockGranted);
    EXPECT_EQ(link.write(), vxi11::err::kDeviceLockedByAnotherLink);
    EXPECT_EQ(link.lock(0), vxi11::err::kDeviceLockedByAnotherLink);
    s.sync.close();
    EXPECT_TRUE(eventually([&] { return link.write() == 0; })) << "closing released it";
}
