// The client's side of a HiSLIP session, message by message, against a scripted peer.

#include "ClientFixture.h"
#include "sicl/InstrumentLibrary.h"

#include <atomic>
#include <future>
#include <vector>

using namespace testsupport;
using namespace hislip;
namespace liberr = library::liberr;

namespace {

constexpr std::int32_t kEnd = 0x04;
constexpr std::int32_t kChr = 0x02;
constexpr std::int32_t kReqCnt = 0x01;

/// The peer's half of a device clear, with `stale` sent on sync before the acknowledgement.
void serveClear(PeerSession& s, std::uint8_t preferred, const Bytes& stale = {}) {
    const auto start = s.async.receive();
    ASSERT_TRUE(start && start->header.type == MessageType::AsyncDeviceClear);
    s.sync.send(stale);
    s.async.send(asyncDeviceClearAcknowledge(preferred));
    const auto complete = s.sync.receive();
    ASSERT_TRUE(complete && complete->header.type == MessageType::DeviceClearComplete);
    s.sync.send(stale);
    s.sync.send(deviceClearAcknowledge(complete->header.control));
}

} // namespace

TEST_F(HislipClientTest, OpenSendsTheSubAddressAndAgreesOnSizes) {
    PeerConfig config;
    config.maxMessage = 4096;
    Msg init, size;
    HislipPeer peer(config, [&](PeerSession& s) {
        init = s.initialize;
        size = s.maxSize;
        s.sync.waitClosed();
    });
    {
        auto session = open(peer);
        EXPECT_EQ(session->setup().sessionId, 0x4A21);
        EXPECT_EQ(session->setup().serverVendor, vendorId('T', 'P'));
        EXPECT_EQ(session->setup().serverVersion, kProtocolVersion);
        EXPECT_FALSE(session->overlapped());
        EXPECT_EQ(session->writePiece(), 4096u - kHeaderSize);
    }
    ASSERT_TRUE(peer.waitSessions(1));
    EXPECT_EQ(init.header.parameter, (std::uint32_t{kProtocolVersion} << 16) | vendorId('Z', 'Z'));
    EXPECT_EQ(init.text(), "hislip0");
    EXPECT_EQ(decodeMaximumMessageSize(size.payload), std::uint64_t{16} << 20);
}

class HislipClientModes : public HislipClientTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HislipClientModes, QueryGetsItsAnswerAndIdsFollowTheMode) {
    PeerConfig config;
    config.overlapped = GetParam();
    std::vector<std::uint32_t> queryIds;
    std::uint32_t statusId = 0;
    HislipPeer peer(config, [&](PeerSession& s) {
        std::uint32_t serverId = kFirstMessageId;
        for (int i = 0; i < 2; ++i) {
            const auto q = s.sync.receive();
            ASSERT_TRUE(q);
            queryIds.push_back(q->header.parameter);
            // Synchronized: the answer carries the query's ID; overlapped: the server's count.
            const std::uint32_t id = config.overlapped ? serverId : q->header.parameter;
            serverId += 2;
            s.sync.send(data(true, 0, id, bytesOf("answer " + std::to_string(i) + "\n")));
        }
        const auto status = s.async.receive();
        ASSERT_TRUE(status);
        statusId = status->header.parameter;
        s.async.send(asyncStatusResponse(0x10));
        s.sync.waitClosed();
    });
    auto session = open(peer);
    EXPECT_EQ(session->overlapped(), GetParam());
    std::int32_t reason = 0;
    write(*session, "*IDN?\n");
    EXPECT_EQ(read(*session, 256, std::nullopt, &reason), "answer 0\n");
    EXPECT_EQ(reason, kEnd);
    write(*session, "*IDN?\n");
    EXPECT_EQ(session->readStb(within(2000)), 0x10); // before the second answer is read
    EXPECT_EQ(read(*session), "answer 1\n");
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    EXPECT_EQ(queryIds, (std::vector<std::uint32_t>{kFirstMessageId, kFirstMessageId + 2}));
    // Synchronized: the last message sent; overlapped: the server's last message delivered.
    EXPECT_EQ(statusId, GetParam() ? kFirstMessageId : kFirstMessageId + 2);
}

INSTANTIATE_TEST_SUITE_P(BothModes, HislipClientModes, ::testing::Bool());

TEST_F(HislipClientTest, MessageIdsStepByTwoWrapAndRestartAfterClear) {
    std::vector<std::uint32_t> ids;
    HislipPeer peer({}, [&](PeerSession& s) {
        for (int i = 0; i < 130; ++i) {
            const auto m = s.sync.receive();
            ASSERT_TRUE(m);
            ids.push_back(m->header.parameter);
        }
        serveClear(s, 0);
        const auto after = s.sync.receive();
        ASSERT_TRUE(after);
        ids.push_back(after->header.parameter);
        s.sync.waitClosed();
    });
    auto session = open(peer);
    for (int i = 0; i < 130; ++i) {
        write(*session, "x");
    }
    session->clear(within(2000));
    session->trigger(within(2000));
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    ASSERT_EQ(ids.size(), 131u);
    EXPECT_EQ(ids[0], 0xFFFFFF00u);
    EXPECT_EQ(ids[1], 0xFFFFFF02u);
    EXPECT_EQ(ids[127], 0xFFFFFFFEu);
    EXPECT_EQ(ids[128], 0x00000000u); // the 129th message
    EXPECT_EQ(ids[129], 0x00000002u);
    EXPECT_EQ(ids[130], 0xFFFFFF00u);
}

TEST_F(HislipClientTest, WriteGoesInPiecesOfTheServerMaximumEndOnTheLast) {
    PeerConfig config;
    config.maxMessage = kHeaderSize + 10;
    std::vector<Msg> got;
    HislipPeer peer(config, [&](PeerSession& s) {
        while (auto m = s.sync.receive(2s)) {
            got.push_back(*m);
        }
    });
    auto session = open(peer);
    write(*session, "0123456789abcdefghijKLMNO");   // 25 bytes: 10 + 10 + 5
    write(*session, "0123456789abcdefghij", false); // exactly 2 pieces, no END
    write(*session, "");                            // END alone
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    ASSERT_EQ(got.size(), 6u);
    const std::vector<MessageType> types = {MessageType::Data,    MessageType::Data,
                                            MessageType::DataEnd, MessageType::Data,
                                            MessageType::Data,    MessageType::DataEnd};
    std::string joined;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].header.type, types[i]) << i;
        EXPECT_LE(got[i].payload.size(), 10u);
        joined += got[i].text();
    }
    EXPECT_EQ(joined, "0123456789abcdefghijKLMNO0123456789abcdefghij");
    EXPECT_TRUE(got[5].payload.empty());
}

TEST_F(HislipClientTest, RmtDeliveredOnlyAfterAWholeResponseReachedTheCaller) {
    std::vector<std::uint8_t> rmt; // control bits of what the client sent, in order
    HislipPeer peer({}, [&](PeerSession& s) {
        for (const char* answer : {"abc\n", "xyz\n"}) {
            const auto q = s.sync.receive();
            ASSERT_TRUE(q);
            rmt.push_back(q->header.control);
            s.sync.send(data(true, 0, q->header.parameter, bytesOf(answer)));
        }
        const auto q = s.sync.receive();
        ASSERT_TRUE(q);
        rmt.push_back(q->header.control);
        for (int i = 0; i < 2; ++i) {
            const auto status = s.async.receive();
            ASSERT_TRUE(status);
            rmt.push_back(status->header.control);
            s.async.send(asyncStatusResponse(0));
        }
        s.sync.waitClosed();
    });
    auto session = open(peer);
    std::int32_t reason = 0;
    write(*session, "Q1");
    EXPECT_EQ(read(*session, 2, std::nullopt, &reason), "ab"); // cut by the count
    EXPECT_EQ(reason, kReqCnt);
    write(*session, "Q2"); // RMT 0; the rest of the first answer is dropped
    EXPECT_EQ(read(*session), "xyz\n");
    write(*session, "Q3"); // RMT 1, once
    session->readStb(within(2000));
    session->readStb(within(2000));
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    EXPECT_EQ(rmt, (std::vector<std::uint8_t>{0, 0, 1, 0, 0}));
}

TEST_F(HislipClientTest, StatusLockReleaseAndRemoteLocalCarryTheLastIdSent) {
    std::vector<Msg> async;
    HislipPeer peer({}, [&](PeerSession& s) {
        auto answer = [&](const Bytes& reply) {
            auto m = s.async.receive();
            ASSERT_TRUE(m);
            async.push_back(*m);
            s.async.send(reply);
        };
        answer(asyncStatusResponse(0));
        answer(asyncRemoteLocalResponse());
        s.sync.receive();
        s.sync.receive();
        answer(asyncStatusResponse(0));
        answer(asyncLockResponse(control::kReleasedExclusive));
        answer(asyncRemoteLocalResponse());
        serveClear(s, 0);
        answer(asyncStatusResponse(0));
        s.sync.waitClosed();
    });
    auto session = open(peer);
    session->readStb(within(2000));
    session->remote(within(2000));
    write(*session, "a");
    write(*session, "b");
    session->readStb(within(2000));
    session->unlock(within(2000));
    session->local(within(2000));
    session->clear(within(2000));
    session->readStb(within(2000));
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    ASSERT_EQ(async.size(), 6u);
    EXPECT_EQ(async[0].header.parameter, kNoMessageId);
    EXPECT_EQ(async[1].header.parameter, kNoMessageId);
    EXPECT_EQ(async[1].header.control, control::kEnableRemoteGoRemote);
    for (int i : {2, 3, 4}) {
        EXPECT_EQ(async[i].header.parameter, kFirstMessageId + 2) << i;
    }
    EXPECT_EQ(async[3].header.control, control::kLockRelease);
    EXPECT_EQ(async[4].header.control, control::kGoLocal);
    EXPECT_EQ(async[5].header.parameter, kNoMessageId);
}

TEST_F(HislipClientTest, ReadEndsAtCountOrTerminationCharacterAndKeepsTheRest) {
    HislipPeer peer({}, [&](PeerSession& s) {
        const auto q = s.sync.receive();
        ASSERT_TRUE(q);
        // One answer in three messages, the last one sent a byte at a time.
        const std::uint32_t id = q->header.parameter;
        s.sync.send(data(false, 0, kUnknownMessageId, bytesOf("a,b\nc")));
        s.sync.send(data(false, 0, id, bytesOf("de\n")));
        for (const std::uint8_t b : data(true, 0, id, bytesOf("fgh"))) {
            s.sync.send({&b, 1});
        }
        s.sync.waitClosed();
    });
    auto session = open(peer);
    write(*session, "Q");
    std::int32_t reason = 0;
    EXPECT_EQ(read(*session, 256, std::uint8_t{'\n'}, &reason), "a,b\n");
    EXPECT_EQ(reason, kChr);
    EXPECT_EQ(read(*session, 2, std::uint8_t{'\n'}, &reason), "cd");
    EXPECT_EQ(reason, kReqCnt);
    EXPECT_EQ(read(*session, 256, std::uint8_t{'\n'}, &reason), "e\n");
    EXPECT_EQ(reason, kChr);
    EXPECT_EQ(read(*session, 256, std::nullopt, &reason), "fgh");
    EXPECT_EQ(reason, kEnd);
}

TEST_F(HislipClientTest, InterruptedDropsTheResponseBegunInEitherOrder) {
    std::atomic<bool> sentBeforeNotice{false};
    HislipPeer peer({}, [&](PeerSession& s) {
        auto q1 = s.sync.receive();
        auto q2 = s.sync.receive();
        ASSERT_TRUE(q1 && q2);
        const std::uint32_t id2 = q2->header.parameter;
        // AsyncInterrupted first: the data until Interrupted is dropped.
        s.sync.send(data(false, 0, kUnknownMessageId, bytesOf("part of Q1")));
        s.async.send(asyncInterrupted(id2));
        s.sync.send(data(false, 0, kUnknownMessageId, bytesOf("more of Q1")));
        s.sync.send(interrupted(id2));
        s.sync.send(data(true, 0, id2, bytesOf("Q2 answer")));
        q1 = s.sync.receive();
        q2 = s.sync.receive();
        ASSERT_TRUE(q1 && q2);
        // Interrupted first: the client sends nothing until AsyncInterrupted.
        s.sync.send(interrupted(q2->header.parameter));
        s.sync.send(data(true, 0, q2->header.parameter, bytesOf("Q4 answer")));
        sentBeforeNotice = s.sync.receive(300ms).has_value();
        s.async.send(asyncInterrupted(q2->header.parameter));
        EXPECT_TRUE(s.sync.receive());
        s.sync.waitClosed();
    });
    auto session = open(peer);
    write(*session, "Q1");
    write(*session, "Q2");
    EXPECT_EQ(read(*session), "Q2 answer");
    write(*session, "Q3");
    write(*session, "Q4");
    EXPECT_EQ(read(*session), "Q4 answer");
    write(*session, "Q5"); // waits for the notice
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    EXPECT_FALSE(sentBeforeNotice);
}

TEST_F(HislipClientTest, DeviceClearDropsStaleDataAndAdoptsTheModeGranted) {
    HislipPeer peer({}, [&](PeerSession& s) {
        const auto q = s.sync.receive();
        ASSERT_TRUE(q);
        // The server prefers overlapped; the client echoes that and the server grants it.
        serveClear(s, control::kOverlapped, data(true, 0, q->header.parameter, bytesOf("old")));
        const auto after = s.sync.receive();
        ASSERT_TRUE(after);
        s.sync.send(data(true, 0, kFirstMessageId, bytesOf("fresh")));
        s.sync.waitClosed();
    });
    auto session = open(peer);
    write(*session, "Q");
    session->clear(within(2000));
    EXPECT_TRUE(session->overlapped());
    write(*session, "Q");
    EXPECT_EQ(read(*session), "fresh");
}

TEST_F(HislipClientTest, OverlappedALateAnswerIsClearedAwayBeforeTheNextExchange) {
    PeerConfig config;
    config.overlapped = true;
    std::promise<void> gaveUp;
    HislipPeer peer(config, [&](PeerSession& s) {
        ASSERT_TRUE(s.sync.receive());       // Q1: answered only after the client gave up
        const auto info = s.async.receive(); // asked after the time-out: no lock held
        ASSERT_TRUE(info && info->header.type == MessageType::AsyncLockInfo);
        s.async.send(asyncLockInfoResponse(false, 0));
        gaveUp.get_future().wait();
        s.sync.send(data(false, 0, kFirstMessageId, bytesOf("late ")));
        s.sync.send(data(true, 0, kFirstMessageId, bytesOf("answer")));
        if (const auto start = s.async.receive(1s)) {
            ASSERT_EQ(start->header.type, MessageType::AsyncDeviceClear);
            s.async.send(asyncDeviceClearAcknowledge(control::kOverlapped));
            const auto complete = s.sync.receive();
            ASSERT_TRUE(complete && complete->header.type == MessageType::DeviceClearComplete);
            s.sync.send(deviceClearAcknowledge(complete->header.control));
        }
        ASSERT_TRUE(s.sync.receive()); // Q2
        s.sync.send(data(true, 0, kFirstMessageId, bytesOf("fresh")));
        s.sync.waitClosed();
    });
    auto session = open(peer);
    write(*session, "Q1");
    EXPECT_EQ(failureOf([&] { read(*session, 256, std::nullopt, nullptr, 200); }),
              liberr::kIoTimeout);
    gaveUp.set_value();
    write(*session, "Q2");
    std::int32_t reason = 0;
    EXPECT_EQ(read(*session, 256, std::nullopt, &reason), "fresh");
    EXPECT_EQ(reason, sicl::reason::kEnd | sicl::reason::kResync);
}

TEST_F(HislipClientTest, ModeAskedForIsRequestedByAClearRightAfterOpen) {
    PeerConfig config;
    config.overlapped = true;
    std::uint8_t requested = 0xFF;
    HislipPeer peer(config, [&](PeerSession& s) {
        const auto start = s.async.receive();
        ASSERT_TRUE(start && start->header.type == MessageType::AsyncDeviceClear);
        s.async.send(asyncDeviceClearAcknowledge(control::kOverlapped));
        const auto complete = s.sync.receive();
        ASSERT_TRUE(complete);
        requested = complete->header.control;
        s.sync.send(deviceClearAcknowledge(complete->header.control));
        s.sync.waitClosed();
    });
    HislipOptions options;
    options.mode = Mode::Synchronized;
    auto session = open(peer, options);
    EXPECT_FALSE(session->overlapped());
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    EXPECT_EQ(requested, 0);
}

TEST_F(HislipClientTest, ManyMebibytesMoveWholeInBothDirections) {
    PeerConfig config;
    config.maxMessage = 64 * 1024;
    Bytes block(6 * 1024 * 1024 + 7);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    Bytes received;
    HislipPeer peer(config, [&](PeerSession& s) {
        std::uint32_t lastId = 0;
        while (auto m = s.sync.receive()) {
            received.insert(received.end(), m->payload.begin(), m->payload.end());
            lastId = m->header.parameter;
            if (m->header.type == MessageType::DataEnd) {
                break;
            }
        }
        s.sync.sendResponse(block, lastId, 1 << 20);
        s.sync.waitClosed();
    });
    auto session = open(peer);
    std::size_t sent = 0;
    session->write(block, true, within(10000), sent);
    EXPECT_EQ(sent, block.size());
    Bytes back(block.size() + 100);
    library::ReadProgress progress;
    session->read(back, std::nullopt, within(10000), progress);
    EXPECT_EQ(progress.count, block.size());
    EXPECT_EQ(progress.reason, kEnd);
    back.resize(progress.count);
    EXPECT_TRUE(back == block);
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    EXPECT_TRUE(received == block);
}
