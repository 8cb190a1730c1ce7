// The simulator's HiSLIP server against hostile clients: garbage at every stage of a session,
// sessions whose async channel never comes, a flood of lock requests, and endless length
// claims. The simulator (a child process, so its memory and sockets can be measured) must stay
// up, keep serving others, and keep its memory bounded. Figures are printed for the record.

#include "gateway/HislipClient.h"
#include "hardening/GatewayProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

using hardening::GatewayProcess;
using namespace testhislip;

namespace {

const std::string kInst0Idn =
    "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0\n";

/// The answer of inst0 to *IDN? over a fresh HiSLIP session, or "" if anything failed.
std::string askIdentity(const GatewayProcess& gw) {
    RawSession s(gw.hislipPort());
    if (!s.open()) {
        return {};
    }
    return s.query("*IDN?\n").value_or("");
}

void report(const char* what, long value, const char* unit) {
    std::printf("[figure] %s: %ld %s\n", what, value, unit);
    ::testing::Test::RecordProperty(what, std::to_string(value));
}

hislip::Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    hislip::Bytes b(n);
    for (auto& x : b) {
        x = static_cast<std::uint8_t>(rng());
    }
    return b;
}

} // namespace

TEST(HostileHislipClients, GarbageAtEveryStageEndsOnlyTheSessionThatSentIt) {
    GatewayProcess gw;
    ASSERT_TRUE(gw.ready() && gw.hislipPort() != 0);
    const long basePeak = gw.peakMemoryKiB();
    std::mt19937 rng(20240611);
    int closed = 0;
    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds; ++i) {
        RawSession s(gw.hislipPort());
        // Random bytes as the first message, on a bound async channel, or on the sync one;
        // some begin with a valid prologue and type so that the lengths are the hostile part.
        hislip::Bytes junk = randomBytes(rng, 16 + rng() % 64);
        if (i % 2 == 0) {
            junk[0] = 'H';
            junk[1] = 'S';
            junk[2] = static_cast<std::uint8_t>(rng() % 30);
        }
        PeerChannel* target = nullptr;
        if (i % 3 == 0) {
            s.sync = s.connect();
            target = &s.sync;
        } else {
            ASSERT_TRUE(s.open()) << "round " << i;
            target = i % 3 == 1 ? &s.async : &s.sync;
        }
        target->send(junk);
        // Whatever came back, the server either goes on (an Error) or closes: a query after it
        // is answered or the connection is gone, never left hanging.
        if (i % 3 != 0 && s.sync.isOpen()) {
            s.send("*OPC?\n");
        }
        closed += target->waitClosed(std::chrono::milliseconds(100)) ? 1 : 0;
    }
    report("garbage rounds that closed their connection", closed, "of 300");
    report("peak memory growth", gw.peakMemoryKiB() - basePeak, "KiB");
    EXPECT_LT(gw.peakMemoryKiB() - basePeak, 64 * 1024);
    EXPECT_EQ(askIdentity(gw), kInst0Idn);
    EXPECT_TRUE(gw.alive());
}

TEST(HostileHislipClients, HalfOpenSessionsAreDroppedAndTheCapIsSaidWithAFatalError) {
    GatewayProcess gw({"--demo", "--idle-timeout", "1"});
    ASSERT_TRUE(gw.ready() && gw.hislipPort() != 0);
    const int baseSockets = gw.openSockets();
    // Sessions whose async channel never comes, and connections that never say what they are.
    std::vector<RawSession> lonely;
    std::vector<PeerChannel> silent;
    for (int i = 0; i < 30; ++i) {
        lonely.emplace_back(gw.hislipPort());
        ASSERT_TRUE(lonely.back().initialize());
        silent.push_back(lonely.back().connect());
    }
    // Over the cap of 64 connections, a newcomer is told why it is refused.
    std::vector<RawSession> extra;
    int refusedWithFatal = 0;
    for (int i = 0; i < 10; ++i) {
        extra.emplace_back(gw.hislipPort());
        const auto answer = extra.back().initialize();
        refusedWithFatal += answer && answer->header.type == MessageType::FatalError &&
                                    answer->header.control == hislip::fatalCode::kTooManyClients
                                ? 1
                                : 0;
    }
    report("connections refused over the cap with FatalError 4", refusedWithFatal, "of 10");
    EXPECT_GT(refusedWithFatal, 0);

    int dropped = 0;
    for (RawSession& s : lonely) {
        dropped += s.sync.waitClosed(std::chrono::seconds(10)) ? 1 : 0;
    }
    for (PeerChannel& c : silent) {
        dropped += c.waitClosed(std::chrono::seconds(10)) ? 1 : 0;
    }
    report("half-open connections dropped", dropped, "of 60");
    EXPECT_EQ(dropped, 60);
    lonely.clear();
    silent.clear();
    extra.clear();
    EXPECT_EQ(askIdentity(gw), kInst0Idn);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (gw.openSockets() > baseSockets + 2 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LE(gw.openSockets(), baseSockets + 2) << "the simulator keeps no socket of theirs";
    EXPECT_TRUE(gw.alive());
}

TEST(HostileHislipClients, TenThousandLockRequestsAreEachAnsweredWithBoundedMemory) {
    GatewayProcess gw;
    ASSERT_TRUE(gw.ready() && gw.hislipPort() != 0);
    const long basePeak = gw.peakMemoryKiB();
    RawSession holder(gw.hislipPort());
    ASSERT_TRUE(holder.open());
    ASSERT_EQ(holder.lock(0), hislip::control::kLockGranted);

    RawSession flood(gw.hislipPort());
    ASSERT_TRUE(flood.open());
    constexpr int kRequests = 10000;
    std::atomic<int> answers{0};
    std::atomic<int> granted{0};
    std::thread reader([&] {
        while (answers < kRequests) {
            const auto m = flood.async.receive(std::chrono::seconds(20));
            if (!m) {
                return;
            }
            ++answers;
            if (m->header.type == MessageType::AsyncLockResponse &&
                m->header.control == hislip::control::kLockGranted) {
                ++granted;
            }
        }
    });
    // The first waits for the lock; every later one comes before its answer (an Error), with
    // and without a key, waiting or not.
    hislip::Bytes burst;
    for (int i = 0; i < kRequests; ++i) {
        const hislip::Bytes one =
            hislip::asyncLockRequest(i % 2 == 0 ? 60000 : 0, i % 3 == 0 ? "shared" : "");
        burst.insert(burst.end(), one.begin(), one.end());
    }
    ASSERT_TRUE(flood.async.send(burst));
    while (answers < kRequests - 1 && gw.alive()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(holder.release(), hislip::control::kReleasedExclusive);
    reader.join();
    report("lock requests answered", answers, "of 10000");
    report("peak memory growth", gw.peakMemoryKiB() - basePeak, "KiB");
    EXPECT_EQ(answers, kRequests);
    EXPECT_EQ(granted, 1) << "the one that waited";
    EXPECT_LT(gw.peakMemoryKiB() - basePeak, 64 * 1024);
    EXPECT_EQ(flood.query("*IDN?\n"), kInst0Idn);
    EXPECT_TRUE(gw.alive());
}

TEST(HostileHislipClients, EndlessLengthClaimsAreRefusedBeforeAnythingIsAllocated) {
    GatewayProcess gw;
    ASSERT_TRUE(gw.ready() && gw.hislipPort() != 0);
    const long basePeak = gw.peakMemoryKiB();
    int fatal = 0;
    for (int i = 0; i < 60; ++i) {
        RawSession s(gw.hislipPort());
        const MessageType types[] = {MessageType::DataEnd, MessageType::Initialize,
                                     MessageType::AsyncLock,
                                     static_cast<MessageType>(hislip::kFirstVendorType)};
        hislip::Bytes claim = hislip::encodeMessage({types[i % 4], 0, 0, 0});
        for (int b = 8; b < 16; ++b) {
            claim[static_cast<std::size_t>(b)] = i % 2 == 0 ? 0xFF : (b == 8 ? 0x80 : 0x00);
        }
        PeerChannel* target = &s.sync;
        if (i % 3 == 0) {
            s.sync = s.connect();
        } else {
            ASSERT_TRUE(s.open());
            target = i % 3 == 1 ? &s.sync : &s.async;
        }
        target->send(claim);
        const auto answer = target->receive();
        fatal += answer && answer->header.type == MessageType::FatalError &&
                         answer->header.control == hislip::fatalCode::kBadHeader &&
                         target->waitClosed()
                     ? 1
                     : 0;
    }
    report("claims of 2^63 and more answered with FatalError 1", fatal, "of 60");
    report("peak memory growth", gw.peakMemoryKiB() - basePeak, "KiB");
    EXPECT_EQ(fatal, 60);
    EXPECT_LT(gw.peakMemoryKiB() - basePeak, 16 * 1024);
    EXPECT_EQ(askIdentity(gw), kInst0Idn);
    EXPECT_TRUE(gw.alive());
}
