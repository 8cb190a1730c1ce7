// siclquill-cli on each LAN transport: the simulator's inst0 reached by its VXI-11 device name,
// by a HiSLIP resource and by a raw socket resource; what each transport does, what it lacks,
// and the large block a scope sends.

#include "CliFixture.h"
#include "lan/LanLibrary.h"

#include <thread>

namespace {

using clitest::CliTest;
using clitest::Outcome;
using clitest::TempFile;
using namespace std::chrono_literals;

const std::string kIdn = "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0";

/// A second client of inst0 over HiSLIP, in this process: what holds a lock or makes the
/// instrument request service while the program runs.
class HislipPeer {
public:
    explicit HislipPeer(const std::string& resource) : m_id(m_library.vb_iopen(resource)) {}
    ~HislipPeer() {
        if (m_id != 0) {
            m_library.vb_iclose(m_id);
        }
    }
    bool open() const { return m_id != 0; }
    bool write(const std::string& text) {
        std::int32_t actual = 0;
        const std::string bytes = text + "\n";
        return m_library.vb_iwrite(1, m_id, bytes, static_cast<std::int32_t>(bytes.size()), 1,
                                   actual) == 0;
    }
    bool lock() { return m_library.vb_ilock(m_id) == 0; }
    bool lockShared(const std::string& key) { return m_library.vb_ilockshared(m_id, key) == 0; }
    bool unlock() { return m_library.vb_iunlock(m_id) == 0; }

private:
    lan::LanLibrary m_library;
    sicl::SessionId m_id;
};

TEST_F(CliTest, EveryTransportAnswersTheSameIdentityAndTakesSpollClearAndTrigger) {
    const std::string hislipPort = std::to_string(m_sim.hislipPort());
    for (const std::string& address : {std::string("inst0"), hislipResource(), socketResource(),
                                       // Resources are read without regard to case.
                                       "tcpip0::127.0.0.1::HISLIP0," + hislipPort + "::instr"}) {
        SCOPED_TRACE(address);
        const Outcome r = cli({"query", address, "*IDN?"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kIdn + "\n");
        const Outcome spoll = cli({"--json", "spoll", address});
        EXPECT_EQ(spoll.status, 0) << spoll.err;
        ASSERT_EQ(spoll.objects().size(), 1u) << spoll.out;
        EXPECT_EQ(spoll.objects()[0]["address"], address);
        EXPECT_EQ(spoll.objects()[0]["stb"].get<int>() & sicl::kStatusRqs, 0);
        EXPECT_EQ(cli({"clear", address}).out, "device cleared\n");
        EXPECT_EQ(cli({"trigger", address}).out, "device triggered\n");
    }
    EXPECT_EQ(m_sim.instrument("inst0")->triggerCount, 4u);
    // A socket's clear opens the connection again: the instrument itself sees no clear.
    EXPECT_EQ(m_sim.instrument("inst0")->clearCount, 3u);
    // A LAN instrument goes to remote and back through its own session: no bus line moves.
    EXPECT_EQ(cli({"remote", hislipResource()}).status, 0);
    EXPECT_TRUE(m_sim.instrument("inst0")->remote);
    EXPECT_EQ(cli({"local", hislipResource()}).status, 0);
    EXPECT_FALSE(m_sim.instrument("inst0")->remote);
    EXPECT_FALSE(m_sim.bus().ren);
}

TEST_F(CliTest, HislipLocksHoldOffOthersAndSharedLocksAreShared) {
    const std::string address = hislipResource();
    const Outcome shell = cli({}, "lock " + address + "\nunlock " + address + "\n");
    EXPECT_EQ(shell.status, 0) << shell.err;
    EXPECT_EQ(shell.out, "device locked\ndevice unlocked\n");

    HislipPeer peer(address);
    ASSERT_TRUE(peer.open());
    ASSERT_TRUE(peer.lock());
    for (const std::vector<std::string>& lock : std::vector<std::vector<std::string>>{
             {"-t", "0.2", "lock", address}, {"-t", "0.2", "lock", address, "--shared", "k"}}) {
        const Outcome held = cli(lock);
        EXPECT_EQ(held.status, 1) << held.out;
        EXPECT_NE(held.err.find("lock: error 11: "), std::string::npos) << held.err;
    }
    ASSERT_TRUE(peer.unlock());
    ASSERT_TRUE(peer.lockShared("k"));
    const Outcome shared = cli({"--json", "lock", "--shared", "k", address});
    EXPECT_EQ(shared.status, 0) << shared.err;
    EXPECT_EQ(shared.out,
              "{\"command\":\"lock\",\"address\":\"" + address + "\",\"shared\":\"k\"}\n");
    EXPECT_EQ(cli({"-t", "0.2", "lock", address}).status, 1) << "a shared lock holds off others";
    EXPECT_EQ(cli({"-t", "0.2", "lock", address, "--shared", "other"}).status, 1);
}

TEST_F(CliTest, SrqWaitsForAHislipServiceRequestOnTheDevicesOwnSession) {
    const std::string address = hislipResource();
    HislipPeer peer(address);
    ASSERT_TRUE(peer.open());
    ASSERT_TRUE(peer.write("*SRE 16"));
    // The program's trace shows when it has looked at the status byte and begun the wait; the
    // peer then makes inst0 request service (its *OPC? answer stays unread, so MAV holds).
    TempFile trace;
    std::thread requester([&] {
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (trace.contents().find("\"ireadstb\"") == std::string::npos &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        peer.write("*OPC?");
    });
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = cli({"--trace", trace.path(), "--json", "srq", "--wait", "20", address});
    requester.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.objects().size(), 1u) << r.out;
    EXPECT_EQ(r.objects()[0]["address"], address);
    EXPECT_NE(r.objects()[0]["stb"].get<int>() & sicl::kStatusRqs, 0) << r.out;
    EXPECT_EQ(trace.contents().find("\"igpibbusstatus\""), std::string::npos)
        << "nothing is polled";

    // The request was taken by the serial poll: another wait gives up.
    const Outcome quiet = cli({"srq", "--wait", "0.2", address});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_NE(quiet.err.find("no SRQ within 0.200 s"), std::string::npos) << quiet.err;
}

TEST_F(CliTest, AnOperationATransportLacksIsOperationNotSupported) {
    const std::string socket = socketResource();
    const std::vector<std::vector<std::string>> lacking = {{"lock", socket},
                                                           {"unlock", socket},
                                                           {"lock", socket, "--shared", "k"},
                                                           {"local", socket},
                                                           {"remote", socket},
                                                           {"srq", "--wait", "5", socket},
                                                           {"lock", "inst0", "--shared", "k"}};
    for (std::vector<std::string> args : lacking) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const auto start = std::chrono::steady_clock::now();
        const Outcome r = cli(args);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "refused, not waited out";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(args[0] + ": error 8: operation not supported"), std::string::npos)
            << r.err;
        args.insert(args.begin(), "--json");
        EXPECT_EQ(cli(args).objects().at(0)["error"]["number"], 8);
    }
    EXPECT_EQ(cli({"query", socket, "*IDN?"}).out, kIdn + "\n") << "the session is still good";
}

TEST_F(CliTest, A64MiBBlockIsReadByteExactOverHislipAndTheSocket) {
    constexpr std::size_t kBytes = std::size_t{64} << 20;
    std::string expected(kBytes, '\0');
    gateway::waveformBytes(0, std::span(reinterpret_cast<std::uint8_t*>(expected.data()), kBytes));
    for (const std::string& address : {hislipResource(), socketResource()}) {
        SCOPED_TRACE(address);
        ASSERT_EQ(cli({"write", address, ":WAV:POIN " + std::to_string(kBytes)}).status, 0);
        TempFile file;
        // A socket's answer goes to the connection that asked: one program writes and reads.
        const Outcome r = cli({"-t", "60", "--json", "query", address, ":WAV:DATA?", "--block",
                               "--out", file.path()});
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.objects().size(), 1u) << r.out;
        EXPECT_EQ(r.objects()[0]["block_bytes"], kBytes);
        const std::string got = file.contents();
        EXPECT_EQ(got.size(), kBytes);
        EXPECT_TRUE(got == expected) << "the file differs from the waveform";
    }
}

} // namespace
