// The simulator against hostile clients: many connections at once, a client sending one byte
// a second, huge length claims, and garbage nested at every level of a call. The simulator (a
// child process, so its memory and sockets can be measured from outside) must stay up, keep
// answering other clients, and keep its memory bounded. Figures are printed for the record.

#include "hardening/GatewayProcess.h"
#include "lan/LanLibrary.h"
#include "support/RawConnection.h"
#include "vxi11/codec/Messages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using hardening::GatewayProcess;
using testsupport::RawConnection;
using testsupport::RawDatagrams;
using vxi11::xdr::Bytes;

namespace {

const std::string kDmmIdn = "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\r\n";

Bytes nullCall(std::uint32_t xid, std::uint32_t prog = vxi11::kDeviceCore) {
    return vxi11::rpc::encodeCall(xid, prog, prog == vxi11::pmap::kProgram ? 2 : 1, 0, {});
}

/// The answer of the DMM to *IDN? through the library, or "" if anything failed.
std::string askIdentity(const GatewayProcess& gw) {
    lan::LanLibrary::Options o;
    o.defaultTimeout = 3000ms;
    lan::LanLibrary lib(o);
    const auto id = lib.vb_iopen(gw.deviceAddress(22));
    if (id <= 0)
        return {};
    std::int32_t actual = 0;
    std::string buf(100, ' ');
    std::int32_t reason = 0;
    std::string answer;
    if (lib.vb_iwrite(1, id, "*IDN?\n", 6, 1, actual) == 0 &&
        lib.vb_iread(1, id, buf, 100, reason, actual) == 0)
        answer = buf.substr(0, static_cast<std::size_t>(actual));
    lib.vb_iclose(id);
    return answer;
}

/// Asks until served or `limit` passes (a freed connection slot is reclaimed asynchronously).
bool servedWithin(const GatewayProcess& gw, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    do {
        if (askIdentity(gw) == kDmmIdn)
            return true;
    } while (Clock::now() < until);
    return false;
}

void report(const char* what, long value, const char* unit) {
    std::printf("[figure] %s: %ld %s\n", what, value, unit);
    ::testing::Test::RecordProperty(what, std::to_string(value));
}

} // namespace

TEST(HostileClients, ManyConnectionsAtOnceAreCappedAndServiceResumesWhenTheyLeave) {
    GatewayProcess gw;
    ASSERT_TRUE(gw.ready());
    const int baseSockets = gw.openSockets();
    const long baseMemory = gw.memoryKiB();
    std::vector<std::unique_ptr<RawConnection>> held;
    int refused = 0;
    constexpr int kAttempts = 300;
    for (int i = 0; i < kAttempts; ++i) {
        auto c = std::make_unique<RawConnection>(gw.corePort());
        // A connection counts as held when the simulator answers a NULL call on it.
        if (c->connected() && c->sendRecord(nullCall(static_cast<std::uint32_t>(i))) &&
            c->receiveRecord(3000ms))
            held.push_back(std::move(c));
        else
            ++refused;
    }
    const int serverSockets = gw.openSockets() - baseSockets;
    const std::string whileFull = askIdentity(gw);
    report("connections held of 300 attempts", static_cast<long>(held.size()), "");
    report("sockets the simulator holds for them", serverSockets, "");
    report("memory growth with all held", gw.memoryKiB() - baseMemory, "KiB");
    report("peak memory", gw.peakMemoryKiB(), "KiB");
    std::printf("[figure] a new client while the cap is reached: %s\n",
                whileFull == kDmmIdn ? "served" : "refused");
    EXPECT_TRUE(gw.alive());
    EXPECT_GT(held.size(), 0u);
    EXPECT_GT(refused, 0) << "no cap on connections";
    EXPECT_LE(serverSockets, static_cast<int>(held.size()) + 1);

    held.clear();
    EXPECT_TRUE(servedWithin(gw, 5000ms));
    EXPECT_TRUE(gw.alive());
}

TEST(HostileClients, ClientSendingOneByteASecondDoesNotHoldUpOthers) {
    GatewayProcess gw;
    ASSERT_TRUE(gw.ready());
    vxi11::CreateLinkParms parms;
    parms.device = "gpib0,22";
    const Bytes framed =
        vxi11::rpc::frameRecord(vxi11::encodeCallFor<vxi11::CreateLink>(77, parms));
    RawConnection slow(gw.corePort());
    ASSERT_TRUE(slow.connected());

    // Three bytes, one a second; every other client is served meanwhile, each at once.
    std::thread trickle([&] {
        for (std::size_t i = 0; i < 3; ++i) {
            slow.sendRaw(Bytes{framed[i]});
            std::this_thread::sleep_for(1s); // the hostile pace itself, not synchronisation
        }
    });
    int served = 0;
    auto slowest = Clock::duration::zero();
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        served += askIdentity(gw) == kDmmIdn ? 1 : 0;
        slowest = std::max(slowest, Clock::now() - start);
    }
    trickle.join();
    report("other clients served during the trickle", served, "of 5");
    report(
        "slowest of them",
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()),
        "ms");
    EXPECT_EQ(served, 5);
    EXPECT_LT(slowest, 1500ms);

    // The rest of the trickled call arrives; it is answered as if sent in one piece.
    ASSERT_TRUE(slow.sendRaw(Bytes(framed.begin() + 3, framed.end())));
    const auto reply = slow.receiveRecord();
    ASSERT_TRUE(reply.has_value());
    const auto header = vxi11::rpc::decodeReply(*reply);
    ASSERT_TRUE(header && header->success() && header->xid == 77);
    const auto resp = vxi11::decodeResultFor<vxi11::CreateLink>(header->results);
    ASSERT_TRUE(resp.has_value());
    EXPECT_EQ(resp->error, 0);
    EXPECT_TRUE(gw.alive());
}

TEST(HostileClients, HugeLengthClaimsAreRefusedWithoutGrowingMemory) {
    GatewayProcess gw;
    ASSERT_TRUE(gw.ready());
    const long baseMemory = gw.memoryKiB();
    const long basePeak = gw.peakMemoryKiB();

    // Record marks announcing far more than any record may hold: the connection is closed.
    const std::vector<std::vector<std::uint32_t>> marks{
        {0xFFFFFFFFu}, {0x7FFFFFFFu}, {0x7FFFFFFFu, 0xFFFFFFFFu}, {0x80000000u | (1u << 20)}};
    int closed = 0;
    for (int round = 0; round < 25; ++round) {
        for (const auto& words : marks) {
            RawConnection c(gw.corePort());
            Bytes b;
            for (std::uint32_t w : words) {
                b.push_back(static_cast<std::uint8_t>(w >> 24));
                b.push_back(static_cast<std::uint8_t>(w >> 16));
                b.push_back(static_cast<std::uint8_t>(w >> 8));
                b.push_back(static_cast<std::uint8_t>(w));
            }
            b.insert(b.end(), 4096, 0x55);
            c.sendRaw(b);
            closed += c.closedByPeer() ? 1 : 0;
        }
    }
    EXPECT_EQ(closed, 100);

    // Lengths inside a well-framed call claiming gigabytes: GARBAGE_ARGS, and the connection
    // goes on serving.
    RawConnection c(gw.corePort());
    vxi11::xdr::Encoder write;
    for (std::uint32_t w : {0u, 1000u, 1000u, 8u, 0xFFFFFFF0u})
        write.putUint(w);
    vxi11::xdr::Encoder link;
    for (std::uint32_t w : {1u, 0u, 0u, 0x7FFFFFFFu})
        link.putUint(w);
    const std::vector<std::pair<std::uint32_t, Bytes>> calls{
        {vxi11::proc::kDeviceWrite, write.bytes()},
        {vxi11::proc::kCreateLink, link.bytes()},
        {vxi11::proc::kDeviceDocmd, Bytes(28, 0xFF)}};
    std::uint32_t xid = 1000;
    for (const auto& [proc, args] : calls) {
        ASSERT_TRUE(c.sendRecord(vxi11::rpc::encodeCall(++xid, vxi11::kDeviceCore, 1, proc, args)));
        const auto reply = c.receiveRecord();
        ASSERT_TRUE(reply.has_value()) << "proc " << proc;
        const auto header = vxi11::rpc::decodeReply(*reply);
        ASSERT_TRUE(header.has_value());
        EXPECT_EQ(header->xid, xid);
        EXPECT_EQ(header->acceptStat, vxi11::rpc::AcceptStat::GarbageArgs) << "proc " << proc;
    }
    ASSERT_TRUE(c.sendRecord(nullCall(++xid)));
    EXPECT_TRUE(c.receiveRecord().has_value());

    report("memory growth after 100 huge claims", gw.memoryKiB() - baseMemory, "KiB");
    report("peak memory growth", gw.peakMemoryKiB() - basePeak, "KiB");
    EXPECT_LT(gw.peakMemoryKiB() - basePeak, 64 * 1024);
    EXPECT_EQ(askIdentity(gw), kDmmIdn);
    EXPECT_TRUE(gw.alive());
}

namespace {

/// Calls that are wrong at one level or another: bytes, RPC header, auth, procedure,
/// arguments. Never a create_link that could succeed, so no link exists to wait on.
class GarbageMaker {
public:
    explicit GarbageMaker(std::uint32_t seed) : m_rng(seed) {}

    Bytes next(std::uint32_t xid, std::uint32_t prog) {
        switch (pick(5)) {
        case 0:
            return randomBytes(pick(80));
        case 1: { // a header wrong in one word
            Bytes b = vxi11::rpc::encodeCall(xid, prog, version(prog), pick(30), randomBytes(16));
            const std::size_t word = 1 + pick(5);
            vxi11::xdr::storeBe32(b.data() + 4 * word, interesting());
            return b;
        }
        case 2: { // credentials that claim too much or are cut short
            Bytes b = vxi11::rpc::encodeCall(xid, prog, version(prog), 0, {});
            vxi11::xdr::storeBe32(b.data() + 28, interesting());
            b.resize(28 + pick(16));
            return b;
        }
        case 3: // a known procedure with random arguments
            return vxi11::rpc::encodeCall(xid, prog, version(prog), procedure(prog),
                                          randomBytes(pick(64)));
        default: { // well-formed arguments with one word made hostile
            Bytes args = validArgs(prog);
            if (!args.empty())
                vxi11::xdr::storeBe32(args.data() + 4 * pick(args.size() / 4), interesting());
            return vxi11::rpc::encodeCall(xid, prog, version(prog), procedure(prog, true), args);
        }
        }
    }

private:
    std::size_t pick(std::size_t n) { return n == 0 ? 0 : m_rng() % n; }
    std::uint32_t version(std::uint32_t prog) { return prog == vxi11::pmap::kProgram ? 2 : 1; }
    std::uint32_t interesting() {
        static constexpr std::uint32_t kWords[] = {
            0, 1, 2, 3, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFC, 401, 65536};
        return pick(2) == 0 ? kWords[pick(std::size(kWords))] : static_cast<std::uint32_t>(m_rng());
    }
    Bytes randomBytes(std::size_t n) {
        Bytes b(n);
        for (auto& x : b)
            x = static_cast<std::uint8_t>(m_rng());
        return b;
    }
    std::uint32_t procedure(std::uint32_t prog, bool forValidArgs = false) {
        if (prog == vxi11::pmap::kProgram)
            return vxi11::pmap::GetPort::proc; // never SET or UNSET: the table must survive
        static constexpr std::uint32_t kCore[] = {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 22, 23};
        return forValidArgs ? 11 : (pick(3) == 0 ? 10 : kCore[pick(std::size(kCore))]);
    }
    Bytes validArgs(std::uint32_t prog) {
        if (prog == vxi11::pmap::kProgram)
            return vxi11::xdr::encodeAll(vxi11::pmap::Mapping{vxi11::kDeviceCore, 1, 6, 0});
        vxi11::DeviceWriteParms w;
        w.lid = 12345;
        w.ioTimeout = 100;
        w.lockTimeout = 100;
        w.flags = vxi11::flags::kEnd;
        w.data = {'*', 'I', 'D', 'N', '?', '\n'};
        return vxi11::xdr::encodeAll(w);
    }

    std::mt19937 m_rng;
};

} // namespace

TEST(HostileClients, NestedGarbageOnTheCoreChannelIsAnsweredOrIgnoredAndServiceGoesOn) {
    GatewayProcess gw;
    ASSERT_TRUE(gw.ready());
    const long basePeak = gw.peakMemoryKiB();
    GarbageMaker garbage(20240611);

    // Each garbage call is followed by a NULL call: whatever comes back before the NULL's
    // reply must be a well-formed reply to the garbage itself.
    int answered = 0;
    int ignored = 0;
    int reconnects = 0;
    auto client = std::make_unique<RawConnection>(gw.corePort());
    constexpr int kCalls = 1500;
    for (int i = 0; i < kCalls; ++i) {
        const std::uint32_t xid = 0x10000u + static_cast<std::uint32_t>(i);
        const std::uint32_t sentinel = 0x80000000u + static_cast<std::uint32_t>(i);
        ASSERT_TRUE(client->sendRecord(garbage.next(xid, vxi11::kDeviceCore)));
        ASSERT_TRUE(client->sendRecord(nullCall(sentinel)));
        bool sawGarbageReply = false;
        for (;;) {
            const auto reply = client->receiveRecord(5000ms);
            if (!reply) { // the simulator gave up on this connection: that is allowed
                ++reconnects;
                client = std::make_unique<RawConnection>(gw.corePort());
                break;
            }
            const auto header = vxi11::rpc::decodeReply(*reply);
            ASSERT_TRUE(header.has_value()) << "call " << i;
            if (header->xid == sentinel)
                break;
            EXPECT_EQ(header->xid, xid) << "call " << i;
            EXPECT_FALSE(sawGarbageReply) << "two replies to one call " << i;
            sawGarbageReply = true;
        }
        (sawGarbageReply ? answered : ignored) += 1;
    }
    client.reset();

    report("garbage core calls answered", answered, "of 1500");
    report("garbage core calls ignored", ignored, "of 1500");
    report("connections closed by the simulator", reconnects, "");
    report("peak memory growth", gw.peakMemoryKiB() - basePeak, "KiB");
    EXPECT_GT(answered, 0);
    EXPECT_LT(gw.peakMemoryKiB() - basePeak, 64 * 1024);
    EXPECT_EQ(askIdentity(gw), kDmmIdn);
    EXPECT_TRUE(gw.alive());
}

TEST(HostileClients, NestedGarbageToThePortmapperOverUdpIsAnsweredOrIgnoredAndGetportGoesOn) {
    GatewayProcess gw;
    ASSERT_TRUE(gw.ready());
    const long basePeak = gw.peakMemoryKiB();
    GarbageMaker garbage(20240612);

    // One garbage datagram after another, each followed by a NULL call, then a real question.
    RawDatagrams udp(gw.portmapperPort());
    int udpAnswered = 0;
    for (int i = 0; i < 500; ++i) {
        const std::uint32_t xid = 0x20000u + static_cast<std::uint32_t>(i);
        const std::uint32_t sentinel = 0x90000000u + static_cast<std::uint32_t>(i);
        udp.send(garbage.next(xid, vxi11::pmap::kProgram));
        udp.send(nullCall(sentinel, vxi11::pmap::kProgram));
        for (;;) {
            const auto reply = udp.receive();
            ASSERT_TRUE(reply.has_value()) << "datagram " << i;
            const auto h = vxi11::rpc::decodeReply(*reply);
            ASSERT_TRUE(h.has_value()) << "datagram " << i;
            if (h->xid == sentinel)
                break;
            EXPECT_EQ(h->xid, xid) << "datagram " << i;
            ++udpAnswered;
        }
    }
    udp.send(vxi11::encodeCallFor<vxi11::pmap::GetPort>(
        7, vxi11::pmap::Mapping{vxi11::kDeviceCore, 1, vxi11::pmap::kProtoTcp, 0}));
    const auto getPort = udp.receive();
    ASSERT_TRUE(getPort.has_value());
    const auto header = vxi11::rpc::decodeReply(*getPort);
    ASSERT_TRUE(header && header->success());
    const auto port = vxi11::decodeResultFor<vxi11::pmap::GetPort>(header->results);
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(port->port, gw.corePort());

    report("garbage UDP datagrams answered", udpAnswered, "of 500");
    report("peak memory growth", gw.peakMemoryKiB() - basePeak, "KiB");
    EXPECT_LT(gw.peakMemoryKiB() - basePeak, 64 * 1024);
    EXPECT_EQ(askIdentity(gw), kDmmIdn);
    EXPECT_TRUE(gw.alive());
}
