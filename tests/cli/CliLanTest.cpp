// siclquill-cli on each LAN transport: the simulator's inst0 by its VXI-11 device name, by a
// HiSLIP resource and by a raw socket resource; what each does, what a socket lacks, and the
// large block a scope sends.

#include "CliFixture.h"
#include "lan/LanLibrary.h"

#include <thread>

namespace {

using clitest::CliTest;
using clitest::Outcome;
using clitest::TempFile;
using namespace std::chrono_literals;

const std::string kIdn = "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0";

/// Writes a line on a session of `library`.
bool writeLine(lan::LanLibrary& library, sicl::SessionId id, const std::string& text) {
    std::int32_t actual = 0;
    return library.vb_iwrite(1, id, text + "\n", static_cast<std::int32_t>(text.size() + 1), 1,
                             actual) == 0;
}

TEST_F(CliTest, EveryTransportAnswersTheSameIdentityAndTakesSpollClearAndTrigger) {
    for (const std::string& address : {std::string("inst0"), hislipResource(), socketResource()}) {
        SCOPED_TRACE(address);
        EXPECT_EQ(cli({"query", address, "*IDN?"}).out, kIdn + "\n");
        EXPECT_EQ(cli({"spoll", address}).out, "status byte 0 (0x00)\n");
        EXPECT_EQ(cli({"clear", address}).out, "device cleared\n");
        EXPECT_EQ(cli({"trigger", address}).out, "device triggered\n");
    }
    // A socket's trigger is a "*TRG" written, which nothing answers: the simulator may still
    // be carrying it out when the command line has ended.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (m_sim.instrument("inst0")->triggerCount < 3u &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(m_sim.instrument("inst0")->triggerCount, 3u);
    // A socket's clear opens the connection again: the instrument itself sees no clear.
    EXPECT_EQ(m_sim.instrument("inst0")->clearCount, 2u);
    // Remote goes through the instrument's own session: no bus line moves.
    EXPECT_EQ(cli({"remote", hislipResource()}).status, 0);
    EXPECT_TRUE(m_sim.instrument("inst0")->remote);
    EXPECT_FALSE(m_sim.bus().ren);
}

TEST_F(CliTest, HislipLocksHoldOffOthersAndSharedLocksAreShared) {
    const std::string address = hislipResource();
    EXPECT_EQ(cli({}, "lock " + address + "\nunlock " + address + "\n").out,
              "device locked\ndevice unlocked\n");
    lan::LanLibrary peer;
    const sicl::SessionId id = peer.vb_iopen(address);
    ASSERT_EQ(peer.vb_ilockshared(id, "k"), 0);
    EXPECT_EQ(cli({"lock", "--shared", "k", address}).out, "device locked, shared as k\n");
    const Outcome held = cli({"-t", "0.2", "lock", address});
    EXPECT_EQ(held.status, 1);
    EXPECT_NE(held.err.find("lock: error 11: "), std::string::npos) << held.err;
    EXPECT_EQ(cli({"-t", "0.2", "lock", address, "--shared", "other"}).status, 1);
}

TEST_F(CliTest, SrqWaitsForAHislipServiceRequestOnTheDevicesOwnSession) {
    const std::string address = hislipResource();
    lan::LanLibrary peer;
    const sicl::SessionId id = peer.vb_iopen(address);
    ASSERT_TRUE(writeLine(peer, id, "*SRE 16"));
    // Once the trace shows that the program has read the status byte and begun to wait, the
    // peer makes inst0 request service (its *OPC? answer stays unread, so MAV holds).
    TempFile trace;
    std::thread requester([&] {
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (trace.contents().find("\"ireadstb\"") == std::string::npos &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        writeLine(peer, id, "*OPC?");
    });
    const Outcome r = cli({"--trace", trace.path(), "--json", "srq", "--wait", "20", address});
    requester.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.objects().at(0)["stb"].get<int>() & sicl::kStatusRqs, 0) << r.out;
    EXPECT_EQ(trace.contents().find("igpibbusstatus"), std::string::npos) << "nothing polled";
}

TEST_F(CliTest, AnOperationATransportLacksIsOperationNotSupported) {
    const std::string socket = socketResource();
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"lock", socket},
                                               {"unlock", socket},
                                               {"local", socket},
                                               {"remote", socket},
                                               {"srq", "--wait", "5", socket},
                                               {"lock", "inst0", "--shared", "k"}}) {
        const Outcome r = cli(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out + r.err,
                  "siclquill-cli: " + args[0] + ": error 8: operation not supported\n");
    }
}

TEST_F(CliTest, UntilOnARawSocketEndsAtTheCharacterOrAtLfAndKeepsTheRestForTheNextRead) {
    const std::string socket = socketResource();
    const Outcome shell =
        cli({"-t", "2"}, "use " + socket + "\nquery " + socket + " *IDN? --until ,\nr\nq *IDN?\n");
    EXPECT_EQ(shell.status, 0) << shell.err;
    EXPECT_EQ(shell.out, "using " + socket + "\nMarrow Scientific,\n" +
                             kIdn.substr(kIdn.find(',') + 1) + "\n" + kIdn + "\n");
    // LF still ends an answer that holds no such character.
    const Outcome plain = cli({"-t", "2", "query", socket, "*OPC?", "--until", ","});
    EXPECT_EQ(plain.out, "1\n") << plain.err;
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
        const Outcome r =
            cli({"-t", "60", "query", address, ":WAV:DATA?", "--block", "--out", file.path()});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(file.contents() == expected) << "the file differs from the waveform";
    }
}

} // namespace
