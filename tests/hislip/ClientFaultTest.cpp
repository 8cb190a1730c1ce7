// The client against servers that go silent, break the protocol or go away: every call ends
// within its time-out with a clear error, and what can go on goes on.

#include "ClientFixture.h"
#include "net/Interrupt.h"
#include "net/TransportError.h"

#include <cstdio>
#include <future>
#include <thread>

using namespace testsupport;
using namespace hislip;
namespace liberr = library::liberr;
using Clock = std::chrono::steady_clock;

namespace {

/// Time-out of the calls under test, and what past it is still "within": the library's least
/// margin, which every call keeps to (its last quarter is for the work after a wait given up).
constexpr std::int32_t kTimeoutMs = 300;
constexpr auto kLatest = std::chrono::milliseconds(kTimeoutMs) + 200ms;

/// Runs `f`, which must fail; its error number and how long it took.
std::pair<int, Clock::duration> timedFailure(const std::function<void()>& f) {
    const auto start = Clock::now();
    const int number = failureOf(f);
    return {number, Clock::now() - start};
}

/// Answers one query on the sync channel with `text`.
void answer(PeerSession& s, std::string_view text) {
    const auto q = s.sync.receive();
    ASSERT_TRUE(q);
    s.sync.send(data(true, 0, q->header.parameter, bytesOf(text)));
}

} // namespace

TEST_F(HislipClientTest, SilentServerEndsEveryCallWithinItsTimeOut) {
    HislipPeer peer({}, [&](PeerSession& s) { s.sync.waitClosed(10s); });
    auto session = open(peer);
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"read", [&] { read(*session, 10, std::nullopt, nullptr, kTimeoutMs); }},
        {"status", [&] { session->readStb(within(kTimeoutMs)); }},
        {"remote", [&] { session->remote(within(kTimeoutMs)); }},
        {"lock", [&] { session->lock(within(kTimeoutMs)); }},
        {"clear", [&] { session->clear(within(kTimeoutMs)); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        const auto [number, took] = timedFailure(call);
        EXPECT_EQ(number, liberr::kIoTimeout);
        EXPECT_GE(took, std::chrono::milliseconds(kTimeoutMs));
        EXPECT_LT(took, kLatest);
        std::printf("figure: silent HiSLIP server, %s with %d ms time-out: %lld us\n", name,
                    kTimeoutMs,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    }
    // A clear cut short ends the session: what follows is connection lost, at once.
    EXPECT_EQ(failureOf([&] { session->readStb(within(kTimeoutMs)); }), liberr::kConnectionLost);
}

TEST_F(HislipClientTest, SilentServerBoundsTheOpenOnEitherChannel) {
    for (const bool answerSync : {false, true}) {
        PeerConfig config;
        config.handshake = false;
        HislipPeer peer(config, [&](PeerSession& s) {
            s.sync.receive();
            if (answerSync) {
                s.sync.send(initializeResponse(false, kProtocolVersion, 7));
                s.async = s.accept();
                s.async.waitClosed(10s);
            } else {
                s.sync.waitClosed(10s);
            }
        });
        const auto [number, took] = timedFailure([&] { open(peer, {}, kTimeoutMs); });
        EXPECT_EQ(number, liberr::kGatewayTimeout) << answerSync;
        EXPECT_LT(took, kLatest) << answerSync;
    }
}

TEST_F(HislipClientTest, LateAnswersOnEitherChannelAreDroppedWithTheirResponse) {
    HislipPeer peer({}, [&](PeerSession& s) {
        const auto q1 = s.sync.receive();
        const auto q2 = s.sync.receive(); // sent after the read of Q1's answer timed out
        ASSERT_TRUE(q1 && q2);
        // Q1's answer: a piece under an unknown ID, then its DataEND; both must go.
        s.sync.send(data(false, 0, kUnknownMessageId, bytesOf("old ")));
        s.sync.send(data(true, 0, q1->header.parameter, bytesOf("late")));
        s.sync.send(data(true, 0, q2->header.parameter, bytesOf("on time")));
        s.async.receive(); // the lock info asked after Q1's read timed out: left unanswered
        s.async.receive();
        s.async.receive(); // the second status query comes after the first timed out
        s.async.send(asyncStatusResponse(0x11));
        s.async.send(asyncStatusResponse(0x22));
        s.sync.waitClosed();
    });
    auto session = open(peer);
    write(*session, "Q1");
    EXPECT_EQ(failureOf([&] { read(*session, 10, std::nullopt, nullptr, kTimeoutMs); }),
              liberr::kIoTimeout);
    write(*session, "Q2");
    EXPECT_EQ(read(*session), "on time");
    EXPECT_EQ(failureOf([&] { session->readStb(within(kTimeoutMs)); }), liberr::kIoTimeout);
    EXPECT_EQ(session->readStb(within(2000)), 0x22);
}

TEST_F(HislipClientTest, ARequestEndedByCtrlCDropsItsLateAnswer) {
    std::promise<void> asked;
    std::promise<void> given;
    HislipPeer peer({}, [&](PeerSession& s) {
        s.async.receive();
        asked.set_value();
        given.get_future().wait(); // no wait of the network here that could take the Ctrl-C
        s.async.receive();
        s.async.send(asyncStatusResponse(0x11)); // the first query's answer, late
        s.sync.waitClosed();
    });
    auto session = open(peer);
    net::interrupt::arm();
    std::thread ctrlC([&] {
        asked.get_future().wait();
        net::interrupt::trigger();
    });
    bool interrupted = false;
    try {
        session->readStb(within(5000));
    } catch (const net::TransportError& e) {
        interrupted = e.kind() == net::TransportError::Kind::Interrupted;
    }
    ctrlC.join();
    given.set_value();
    EXPECT_TRUE(interrupted);
    // The late answer is not the second query's: that one times out.
    EXPECT_EQ(failureOf([&] { session->readStb(within(kTimeoutMs)); }), liberr::kIoTimeout);
}

TEST_F(HislipClientTest, FatalErrorOrAClosedChannelLosesTheSessionAndClosesBoth) {
    struct Case {
        const char* name;
        std::function<void(PeerSession&)> misbehave; ///< after the query came
        int error;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"fatal on async",
         [](PeerSession& s) { s.async.send(fatalError(fatalCode::kBadHeader, "bad things")); },
         liberr::kServerFatalError, "server fatal error: bad things"},
        {"fatal on sync, no text",
         [](PeerSession& s) { s.sync.send(fatalError(fatalCode::kUnidentified, "")); },
         liberr::kServerFatalError, "server fatal error: code 0"},
        {"async closed", [](PeerSession& s) { s.async.close(); }, liberr::kConnectionLost, ""},
        {"sync closed mid-message",
         [](PeerSession& s) {
             const HeaderBytes h = dataHeader(true, 0, kFirstMessageId, 100);
             s.sync.send(h);
             s.sync.send(bytesOf("0123456789"));
             s.sync.close();
         },
         liberr::kConnectionLost, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool bothClosed = false;
        HislipPeer peer({}, [&](PeerSession& s) {
            ASSERT_TRUE(s.sync.receive());
            c.misbehave(s);
            bothClosed = (!s.sync.isOpen() || s.sync.waitClosed()) &&
                         (!s.async.isOpen() || s.async.waitClosed());
        });
        auto session = open(peer);
        write(*session, "Q");
        std::string text;
        EXPECT_EQ(failureOf([&] { read(*session, 256, std::nullopt, nullptr, 5000); }, &text),
                  c.error);
        if (!c.text.empty()) {
            EXPECT_EQ(text, c.text);
        }
        ASSERT_TRUE(peer.waitSessions(1));
        EXPECT_TRUE(bothClosed);
        EXPECT_EQ(failureOf([&] { session->readStb(within(kTimeoutMs)); }),
                  liberr::kConnectionLost);
    }
}

TEST_F(HislipClientTest, AFatalErrorOnAsyncExplainsASyncChannelClosedMidResponse) {
    // The close is found by a receive of the response's bytes, not by a wait on both
    // channels: the reason waiting on async must still be the one reported.
    std::promise<void> firstRead;
    std::promise<void> gone;
    HislipPeer peer({}, [&](PeerSession& s) {
        const auto q = s.sync.receive();
        ASSERT_TRUE(q);
        s.sync.send(dataHeader(true, 0, q->header.parameter, 100));
        s.sync.send(bytesOf("0123456789"));
        firstRead.get_future().wait();
        s.async.send(fatalError(fatalCode::kUnidentified, "instrument lost"));
        s.sync.close();
        gone.set_value();
        s.async.waitClosed();
    });
    auto session = open(peer);
    write(*session, "Q");
    EXPECT_EQ(read(*session, 4), "0123");
    firstRead.set_value();
    gone.get_future().wait();
    std::string text;
    EXPECT_EQ(failureOf([&] { read(*session); }, &text), liberr::kServerFatalError);
    EXPECT_EQ(text, "server fatal error: instrument lost");
    EXPECT_EQ(failureOf([&] { session->readStb(within(kTimeoutMs)); }), liberr::kConnectionLost);
}

TEST_F(HislipClientTest, AFatalErrorOnAsyncExplainsALossAfterAWholeExchange) {
    // After a whole response and a message that says it arrived, a read waits on the sync
    // channel alone; the reason the server gave on async must still be the one reported.
    HislipPeer peer({}, [&](PeerSession& s) {
        const auto q = s.sync.receive();
        ASSERT_TRUE(q);
        s.sync.send(dataHeader(true, 0, q->header.parameter, 3));
        s.sync.send(bytesOf("ok\n"));
        const auto next = s.sync.receive();
        ASSERT_TRUE(next);
        EXPECT_NE(next->header.control & control::kRmtDelivered, 0);
        s.async.send(fatalError(fatalCode::kUnidentified, "instrument lost"));
        s.sync.close();
        s.async.waitClosed();
    });
    auto session = open(peer);
    write(*session, "Q");
    EXPECT_EQ(read(*session), "ok\n");
    write(*session, "Q");
    std::string text;
    EXPECT_EQ(failureOf([&] { read(*session); }, &text), liberr::kServerFatalError);
    EXPECT_EQ(text, "server fatal error: instrument lost");
}

TEST_F(HislipClientTest, MessagesThatBreakTheProtocolEndTheSessionAndTheNextOpenWorks) {
    auto header = [](int type, std::uint64_t length) {
        const HeaderBytes h = encodeHeader(Header{static_cast<MessageType>(type), 0, 0, length});
        return Bytes(h.begin(), h.end());
    };
    Bytes noPrologue = data(true, 0, kFirstMessageId, bytesOf("x"));
    noPrologue[0] = 'X';
    struct Case {
        const char* name;
        bool onAsync;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"no HS prologue", false, noPrologue},
        {"unknown type", false, header(42, 0)},
        {"data over the maximum announced", false, header(7, 1025)},
        {"a 2^63 length", false, header(6, 1ull << 63)},
        {"over 4 GiB on async", true, header(3, 1ull << 32)},
        {"status answer on sync", false, asyncStatusResponse(0)},
        {"data on async", true, data(true, 0, kFirstMessageId, bytesOf("x"))},
    };
    HislipOptions options;
    options.maxMessageSize = 1024;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int sessions = 0;
        HislipPeer peer({}, [&](PeerSession& s) {
            if (++sessions == 1) {
                ASSERT_TRUE(s.sync.receive());
                (c.onAsync ? s.async : s.sync).send(c.bytes);
                s.sync.waitClosed();
            } else {
                answer(s, "fine");
                s.sync.waitClosed();
            }
        });
        auto session = open(peer, options);
        write(*session, "Q");
        const auto [number, took] =
            timedFailure([&] { read(*session, 2048, std::nullopt, nullptr, 5000); });
        EXPECT_EQ(number, liberr::kBadServerMessage);
        EXPECT_LT(took, 2s);
        session.reset();
        auto again = open(peer, options);
        write(*again, "Q");
        EXPECT_EQ(read(*again), "fine");
    }
}

TEST_F(HislipClientTest, ServerErrorsCarryTheirTextAndTheSessionGoesOn) {
    PeerConfig config;
    config.handshake = false;
    int sessions = 0;
    HislipPeer peer(config, [&](PeerSession& s) {
        if (++sessions == 1) {
            // An unknown sub-address: the server's fatal error, then it closes.
            s.sync.receive();
            s.sync.send(fatalError(128, "unknown sub-address"));
            return;
        }
        const auto init = s.sync.receive();
        ASSERT_TRUE(init);
        EXPECT_EQ(init->text(), "hislip0");
        s.sync.send(initializeResponse(false, kProtocolVersion, 9));
        s.async = s.accept();
        s.async.receive();
        s.async.send(asyncInitializeResponse(0));
        s.async.receive();
        s.async.send(asyncMaximumMessageSizeResponse(1 << 16));
        s.async.receive();
        s.async.send(error(errorCode::kUnknownType, "unrecognized\x01 message"));
        s.async.receive();
        s.async.send(asyncStatusResponse(0x04));
        s.sync.waitClosed();
    });
    std::string text;
    EXPECT_EQ(failureOf([&] { open(peer); }, &text), liberr::kServerFatalError);
    EXPECT_EQ(text, "server fatal error: unknown sub-address");
    auto session = open(peer);
    EXPECT_EQ(failureOf([&] { session->readStb(within(2000)); }, &text), liberr::kServerError);
    EXPECT_EQ(text, "server error: unrecognized? message");
    EXPECT_EQ(session->readStb(within(2000)), 0x04);
}

TEST_F(HislipClientTest, AWriteCutShortByItsTimeOutIsFinishedBeforeAnythingElse) {
    PeerConfig config;
    config.maxMessage = std::uint64_t{1} << 30; // one message, far larger than socket buffers
    const Bytes block(32 << 20, 0x33);
    std::promise<void> timedOut;
    std::vector<Msg> got;
    HislipPeer peer(config, [&](PeerSession& s) {
        timedOut.get_future().wait(); // read nothing until the client gave up
        for (int i = 0; i < 2; ++i) {
            if (auto m = s.sync.receive(10s)) {
                got.push_back(std::move(*m));
            }
        }
        s.sync.waitClosed();
    });
    auto session = open(peer);
    std::size_t sent = 0;
    EXPECT_EQ(failureOf([&] { session->write(block, true, within(kTimeoutMs), sent); }),
              liberr::kIoTimeout);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, block.size());
    timedOut.set_value();
    write(*session, "next");
    session.reset();
    ASSERT_TRUE(peer.waitSessions(1));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].payload == block); // whole, so the server's framing held
    EXPECT_EQ(got[1].text(), "next");
    EXPECT_EQ(got[1].header.parameter, got[0].header.parameter + 2);
}
