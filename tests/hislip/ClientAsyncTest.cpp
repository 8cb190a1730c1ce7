// The async channel of a HiSLIP session as the client uses it: service requests and locks.

#include "ClientFixture.h"

#include <vector>

using namespace testsupport;
using namespace hislip;
namespace liberr = library::liberr;

TEST_F(HislipClientTest, AWaitHearsTheRequestsNoPollTookAndNoneAPollTook) {
    HislipPeer peer({}, [&](PeerSession& s) {
        ASSERT_TRUE(s.async.receive());
        s.async.send(asyncServiceRequest(0x41)); // before the poll's answer: the poll takes it
        s.async.send(asyncStatusResponse(0x10));
        const auto q = s.sync.receive();
        ASSERT_TRUE(q);
        s.async.send(asyncServiceRequest(0x50)); // before the wait began; nobody polled it
        s.sync.send(data(true, 0, q->header.parameter, bytesOf("ok")));
        ASSERT_TRUE(s.async.receive());
        s.async.send(asyncServiceRequest(0x60)); // taken by this poll
        s.async.send(asyncStatusResponse(0x10));
        s.sync.waitClosed();
    });
    auto session = open(peer);
    EXPECT_EQ(session->readStb(within(2000)), 0x10);
    write(*session, "Q");
    EXPECT_EQ(read(*session), "ok");
    EXPECT_TRUE(session->waitSrq(net::Deadline::after(5s), within(2000)))
        << "a request still standing when the wait begins";
    EXPECT_EQ(session->lastServiceRequest(), 0x50);
    EXPECT_EQ(session->readStb(within(2000)), 0x10);
    EXPECT_FALSE(session->waitSrq(net::Deadline::after(50ms), within(2000)))
        << "the poll took the request that came before its answer";
}

TEST_F(HislipClientTest, LocksWaitWithTheTimeOutAndMapEachAnswer) {
    std::vector<Msg> requests;
    HislipPeer peer({}, [&](PeerSession& s) {
        for (const std::uint8_t answer :
             {control::kLockGranted, control::kLockFailed, control::kLockGranted,
              control::kReleasedShared, control::kLockError, control::kLockError}) {
            const auto m = s.async.receive();
            ASSERT_TRUE(m);
            requests.push_back(*m);
            s.async.send(asyncLockResponse(answer));
        }
        s.sync.waitClosed();
    });
    auto session = open(peer);
    session->lock(within(750));
    session->lock(within(750)); // held already: nothing sent
    EXPECT_EQ(failureOf([&] { session->lockShared("bench", within(500)); }),
              liberr::kLockedByAnother);
    session->lockShared("bench", within(500));
    session->unlock(within(500));
    EXPECT_EQ(failureOf([&] { session->unlock(within(500)); }), liberr::kNoLockHeld);
    EXPECT_EQ(failureOf([&] { session->lockShared("x", within(0)); }), liberr::kLockAlreadyHeld);
    EXPECT_EQ(failureOf([&] { session->lockShared("", within(500)); }), liberr::kInvalidArgument);
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].header.control, control::kLockRequest);
    EXPECT_EQ(requests[0].header.parameter, 750u);
    EXPECT_TRUE(requests[0].payload.empty());
    EXPECT_EQ(requests[1].text(), "bench");
    EXPECT_EQ(requests[1].header.parameter, 500u);
    EXPECT_EQ(requests[3].header.control, control::kLockRelease);
    EXPECT_EQ(requests[5].header.parameter, 0xFFFFFFFFu); // no time-out: wait as long as it takes
}

TEST_F(HislipClientTest, ATimeOutUnderAnotherSessionsLockSaysTheDeviceIsLocked) {
    HislipPeer peer({}, [&](PeerSession& s) {
        for (const bool locked : {true, false}) {
            ASSERT_TRUE(s.sync.receive()); // a query the server holds back
            const auto info = s.async.receive();
            ASSERT_TRUE(info && info->header.type == MessageType::AsyncLockInfo);
            s.async.send(asyncLockInfoResponse(locked, locked ? 1 : 0));
        }
        s.sync.waitClosed();
    });
    auto session = open(peer);
    write(*session, "Q1");
    EXPECT_EQ(failureOf([&] { read(*session, 10, std::nullopt, nullptr, 200); }),
              liberr::kLockedByAnother);
    write(*session, "Q2");
    EXPECT_EQ(failureOf([&] { read(*session, 10, std::nullopt, nullptr, 200); }),
              liberr::kIoTimeout);
}
