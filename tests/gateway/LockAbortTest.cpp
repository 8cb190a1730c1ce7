// Locks between links, abort on the abort channel, and what a dropped connection releases.

#include "GatewayFixture.h"

#include <future>

using namespace vxi11;
using testrpc::GatewayFixture;
using testrpc::TestClient;
using namespace std::chrono_literals;

using LocksAndAbort = GatewayFixture;

namespace {
DeviceLockParms lockParms(std::int32_t lid, bool wait, std::uint32_t timeout) {
    DeviceLockParms p;
    p.lid = lid;
    p.flags = wait ? flags::kWaitLock : 0;
    p.lockTimeout = timeout;
    return p;
}
} // namespace

TEST_F(LocksAndAbort, OneLinkHoldsTheLockAndOthersAreRefusedOrWait) {
    TestClient other;
    ASSERT_TRUE(other.connect(sim->corePort()));
    const std::int32_t a = link("gpib0,22");
    const std::int32_t b = link("gpib0,22", &other);
    const std::int32_t c = link("gpib0,3", &other);

    EXPECT_EQ(core.call<DeviceLock>(lockParms(a, false, 0))->error, 0);
    EXPECT_EQ(sim->lockHolder("gpib0,22"), a);
    EXPECT_EQ(core.call<DeviceLock>(lockParms(a, false, 0))->error, err::kDeviceLockedByAnotherLink)
        << "locking twice";
    EXPECT_EQ(write(b, "*IDN?\n", flags::kEnd, &other), err::kDeviceLockedByAnotherLink);
    EXPECT_EQ(write(c, "*IDN?\n", flags::kEnd, &other), 0) << "other devices are not locked";
    EXPECT_EQ(other.call<DeviceUnlock>({b})->error, err::kNoLockHeldByThisLink);

    // Waiting with a lock_timeout that runs out.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(write(b, "*IDN?\n", flags::kEnd | flags::kWaitLock, &other, 200),
              err::kDeviceLockedByAnotherLink);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);

    // Waiting while the holder unlocks: the write goes through.
    auto waiting = std::async(std::launch::async, [&] {
        return write(b, "*IDN?\n", flags::kEnd | flags::kWaitLock, &other, 10000);
    });
    ASSERT_TRUE(GatewayFixture::eventually([&] { return sim->callCount() >= 10; }));
    EXPECT_EQ(core.call<DeviceUnlock>({a})->error, 0);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_EQ(sim->instrument(22)->lastCommand, "*IDN?");
}

TEST_F(LocksAndAbort, CreateLinkWithLockDeviceTakesTheLockOrFails) {
    CreateLinkParms p;
    p.device = "gpib0,9";
    p.lockDevice = true;
    const auto first = core.call<CreateLink>(p);
    ASSERT_TRUE(first && first->error == 0);
    EXPECT_EQ(sim->lockHolder("gpib0,9"), first->lid);
    p.lockTimeout = 50;
    const auto second = core.call<CreateLink>(p);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->error, err::kDeviceLockedByAnotherLink);
    EXPECT_EQ(sim->liveLinks(), 1u) << "no link is made when the lock is not obtained";
}

TEST_F(LocksAndAbort, DestroyLinkAndADroppedConnectionReleaseLocks) {
    const std::int32_t a = link("gpib0");
    ASSERT_EQ(core.call<DeviceLock>(lockParms(a, false, 0))->error, 0);
    ASSERT_EQ(core.call<DestroyLink>({a})->error, 0);
    EXPECT_FALSE(sim->lockHolder("gpib0").has_value());

    {
        TestClient gone;
        ASSERT_TRUE(gone.connect(sim->corePort()));
        const std::int32_t g = link("gpib0,22", &gone);
        ASSERT_EQ(gone.call<DeviceLock>(lockParms(g, false, 0))->error, 0);
        link("gpib0,3", &gone);
        EXPECT_EQ(sim->liveLinks(), 2u);
    } // the connection closes here without destroy_link
    EXPECT_TRUE(GatewayFixture::eventually([&] { return sim->liveLinks() == 0; }));
    EXPECT_FALSE(sim->lockHolder("gpib0,22").has_value());
    const std::int32_t b = link("gpib0,22");
    EXPECT_EQ(core.call<DeviceLock>(lockParms(b, false, 0))->error, 0);
}

TEST_F(LocksAndAbort, AbortEndsAWaitingReadWithAbortError) {
    sim->setInstrumentFaults(3, std::nullopt, {0ms, true, false});
    const std::int32_t lid = link("gpib0,3");
    ASSERT_EQ(write(lid, "*IDN?\n"), 0);
    TestClient abortChannel;
    ASSERT_TRUE(abortChannel.connect(sim->abortPort()));
    EXPECT_EQ(abortChannel.call<DeviceAbort>({lid + 1000})->error, err::kInvalidLinkIdentifier);

    auto pending = std::async(std::launch::async, [&] { return read(lid, 100, 0xFFFFFFFF); });
    // The abort only reaches a call in progress; repeat until the read is waiting.
    std::future_status status = std::future_status::timeout;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (status != std::future_status::ready && std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(abortChannel.call<DeviceAbort>({lid})->error, 0);
        status = pending.wait_for(20ms);
    }
    const auto r = pending.get();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->error, err::kAbort);
    EXPECT_EQ(write(lid, "*CLS\n"), 0) << "the link works after an abort";
}

TEST_F(LocksAndAbort, ServiceRequestIsSentOnTheInterruptChannelWithTheLinksHandle) {
    // The client's side of the interrupt channel: a listener on loopback.
    auto listener = net::TcpListener::open("127.0.0.1", 0, 1);

    DeviceRemoteFunc f;
    f.hostAddr = 0x7F000001;
    f.hostPort = listener.port();
    EXPECT_EQ(core.call<CreateIntrChan>(f)->error, 0);
    EXPECT_EQ(core.call<CreateIntrChan>(f)->error, err::kChannelAlreadyEstablished);
    auto channel = listener.accept(net::TcpListener::Mode::NonBlocking, net::Deadline::after(5s));
    ASSERT_TRUE(channel.has_value());

    const std::int32_t lid = link("gpib0,22");
    DeviceEnableSrqParms e;
    e.lid = lid;
    e.enable = true;
    e.handle = {'h', '2', '2'};
    EXPECT_EQ(core.call<DeviceEnableSrq>(e)->error, 0);
    ASSERT_EQ(write(lid, "*SRE 16\n"), 0);
    ASSERT_EQ(write(lid, "*IDN?\n"), 0); // MAV rises, and with it RQS and SRQ

    rpc::RecordStream records(4096);
    const auto record = records.read(channel->connection, net::Deadline::after(5s));
    ASSERT_EQ(record.status, rpc::RecordStream::Status::Record);
    const rpc::ParsedCall call = rpc::parseCall(record.record);
    ASSERT_EQ(call.status, rpc::ParsedCall::Status::Ok);
    EXPECT_EQ(call.header.prog, kDeviceIntr);
    EXPECT_EQ(call.header.proc, proc::kDeviceIntrSrq);
    const auto srq = decodeArgsFor<DeviceIntrSrq>(call.args);
    ASSERT_TRUE(srq.has_value());
    EXPECT_EQ(srq->handle, e.handle);

    EXPECT_EQ(core.call<DestroyIntrChan>({})->error, 0);
    EXPECT_EQ(core.call<DestroyIntrChan>({})->error, err::kChannelNotEstablished);
    f.hostAddr = 0xC0A8010A; // never off this machine
    EXPECT_EQ(core.call<CreateIntrChan>(f)->error, err::kChannelNotEstablished);
}

TEST_F(LocksAndAbort, LinksBelongToTheirConnection) {
    const std::int32_t lid = link("gpib0,22");
    TestClient other;
    ASSERT_TRUE(other.connect(sim->corePort()));
    EXPECT_EQ(other.call<DestroyLink>({lid})->error, err::kInvalidLinkIdentifier);
    EXPECT_EQ(write(lid, "*IDN?\n", flags::kEnd, &other), err::kInvalidLinkIdentifier);
    EXPECT_EQ(sim->liveLinks(), 1u);
    EXPECT_EQ(write(lid, "*IDN?\n"), 0);
}
