// siclquill-cli as a user runs it: the real program against the in-process simulator, its
// output, its JSON and its exit statuses; and the parsers of its arguments.

#include "CliFixture.h"
#include "cli/BusBytes.h"
#include "cli/CommandLine.h"
#include "cli/DeviceAddress.h"
#include "cli/Discover.h"
#include "cli/Errors.h"
#include "cli/LoopStats.h"

#include <csignal>
#include <cstdlib>
#include <thread>

namespace {

using clitest::CliTest;
using clitest::Outcome;
using clitest::TempFile;
using namespace std::chrono_literals;

TEST_F(CliTest, DeviceCommandsReachTheInstrument) {
    Outcome r = cli({"query", "22", "*IDN?"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\n");
    r = cli({"query", "22", "*IDN?", "--raw"});
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "\r\n") << "--raw keeps the instrument's CR LF";
    EXPECT_EQ(cli({"query", "5,2", "*IDN?"}).out, cli({"query", "502", "*IDN?"}).out);
    EXPECT_EQ(cli({"write", "9", "*IDN?"}).out, "wrote 6 bytes\n");
    EXPECT_EQ(cli({"read", "9", "--max", "10"}).out, "Quenby Mea\n");
    for (const char* op : {"trigger", "clear", "remote"}) {
        EXPECT_EQ(cli({op, "3"}).status, 0) << op;
    }
    // The lock goes with the program's link: a new program holds none (the shell keeps it).
    EXPECT_NE(cli({"unlock", "3"}).err.find("unlock: error 12: "), std::string::npos);
    EXPECT_EQ(m_sim.instrument(3)->triggerCount, 1u);
    EXPECT_EQ(m_sim.instrument(3)->clearCount, 1u);
    EXPECT_TRUE(m_sim.instrument(3)->remote);
    EXPECT_EQ(cli({"local", "3"}).status, 0);
    EXPECT_FALSE(m_sim.instrument(3)->remote);
    EXPECT_EQ(cli({"spoll", "22"}).out, "status byte 0 (0x00)\n");
}

TEST_F(CliTest, BusCommandsDriveTheInterface) {
    EXPECT_EQ(cli({"find"}).out, "3\n9\n22\n");
    EXPECT_EQ(cli({"find", "--secondary"}).out, "3\n5,2\n9\n22\n");
    EXPECT_EQ(cli({"ren", "on"}).status, 0);
    EXPECT_TRUE(m_sim.bus().ren);
    EXPECT_EQ(cli({"atn", "on"}).status, 0);
    EXPECT_TRUE(m_sim.bus().atn);
    EXPECT_EQ(cli({"ifc"}).status, 0);
    EXPECT_EQ(m_sim.bus().ifcCount, 1u);
    const std::uint64_t calls = m_sim.callCount();
    EXPECT_EQ(cli({"cmd", "--dry-run", "unl", "MTA", "0", "MLA", "22", "0x3f", "8"}).out,
              "3F 40 36 3F 08\n");
    EXPECT_EQ(m_sim.callCount(), calls) << "a dry run sends nothing";
    EXPECT_EQ(cli({"cmd", "UNL", "MTA", "0", "MLA", "22"}).out, "sent 3F 40 36\n");
    EXPECT_TRUE(m_sim.instrument(22)->listener);
    // The command bytes leave ATN asserted, and under ATN every present device holds NDAC.
    const Outcome status = cli({"status"});
    EXPECT_NE(status.out.find("REN = 1\nSRQ = 0\nNDAC = 1\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("bus address = 0"), std::string::npos) << status.out;
}

TEST_F(CliTest, JsonGivesOneObjectPerResultAndFailuresExitOne) {
    const std::vector<std::vector<std::string>> commands = {
        {"--json", "query", "22", "*IDN?"},
        {"--json", "find", "--secondary"},
        {"--json", "census"},
        {"--json", "status"},
        {"--json", "spoll", "9"},
        {"--json", "loop", "22", "*IDN?", "--count", "20"},
        {"--json", "cmd", "--dry-run", "UNL"}};
    for (const auto& args : commands) {
        const Outcome r = cli(args);
        EXPECT_EQ(r.status, 0) << args[1] << r.err;
        const auto objects = r.objects();
        ASSERT_FALSE(objects.empty()) << args[1];
        for (const auto& o : objects) {
            EXPECT_EQ(o["command"], args[1]);
        }
    }
    EXPECT_EQ(cli({"--json", "find", "--secondary"}).objects()[1]["sad"], 2);
    EXPECT_EQ(cli({"--json", "census"}).objects()[2]["idn"].get<std::string>().rfind("Orvane", 0),
              0u);
    const auto loop = cli({"--json", "loop", "22", "*IDN?", "--count", "20"}).objects()[0];
    EXPECT_EQ(loop["passes"], 20);
    EXPECT_EQ(loop["errors"], 0);
    EXPECT_LE(loop["min_ms"].get<double>(), loop["p50_ms"].get<double>());
    EXPECT_LE(loop["p95_ms"].get<double>(), loop["max_ms"].get<double>());

    // Nothing listens at 7: the library's error number and text, on stderr and as an object.
    const Outcome failed = cli({"--json", "query", "7", "*IDN?"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("query: error "), std::string::npos) << failed.err;
    const auto error = failed.objects().at(0)["error"];
    EXPECT_GT(error["number"].get<int>(), 0);
    EXPECT_NE(failed.err.find(error["text"].get<std::string>()), std::string::npos);
}

TEST_F(CliTest, BadUsageExitsTwoWithTheUsageLineAndSendsNothing) {
    const std::uint64_t calls = m_sim.callCount();
    const std::vector<std::vector<std::string>> lines = {
        {"query", "99", "*IDN?"},
        {"query", "0,5", "x"},
        {"query", "3031", "x"},
        {"query", "22"},
        {"write", "22"},
        {"--json", "query", "22", "x", "--out", "-"},
        {"query", "22", "x", "--until", "ab"},
        {"query", "in st0", "x"},
        {"cmd", "MLA", "31"},
        {"cmd", "FOO"},
        {"ren", "maybe"},
        {"discover", "10.0.0.0/21"},
        {"bogus"},
        {"-t", "-1", "find"},
        {"loop", "22", "x", "--count", "2", "--duration", "1"},
        {"-s", "a]b", "find"},
        {"query", "TCPIP::127.0.0.1::0::SOCKET", "x"},
        {"lock", "22", "--shared", ""},
        {"srq", "22", "--intr"},
        {"discover", "127.0.0.1", "--hislip-port", "65536"}};
    for (const auto& args : lines) {
        const Outcome r = cli(args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << r.err;
        EXPECT_NE(r.err.find("Usage: siclquill-cli [OPTIONS] COMMAND [ARGS]"), std::string::npos)
            << args[0] << " " << r.err;
    }
    EXPECT_EQ(m_sim.callCount(), calls);
    EXPECT_EQ(program({"--help"}).status, 0);
    EXPECT_EQ(program({"--version"}).out, "siclquill-cli " SICLQUILL_VERSION "\n");
}

TEST_F(CliTest, TheShellRunsLinesFromAPipeAndGoesOnAfterAFailure) {
    const Outcome r = cli({}, "use 22\n"
                              "q *IDN?\n"
                              "bogus\n"
                              "query 99 x\n"
                              "w *SRE 16\n"
                              "w *OPC?\n"
                              "spoll\n"
                              "lock\n"
                              "unlock\n"
                              "r\n"
                              "exit\n"
                              "q never sent\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "using 22\n"
                     "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\n"
                     "wrote 8 bytes\n"
                     "wrote 6 bytes\n"
                     "status byte 80 (0x50)\n"
                     "device locked\n"
                     "device unlocked\n"
                     "1\n");
    EXPECT_NE(r.err.find("unknown command 'bogus'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("bad address '99'"), std::string::npos) << r.err;
    EXPECT_EQ(cli({}, "q *IDN?\n").status, 2) << "q needs `use` first";
}

TEST_F(CliTest, SrqNamesTheRequesterAndGivesUpAfterItsWait) {
    ASSERT_EQ(cli({"write", "22", "*SRE 16"}).status, 0);
    ASSERT_EQ(cli({"write", "22", "*OPC?"}).status, 0);
    const Outcome r = cli({"--json", "srq", "--wait", "10"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.objects().size(), 1u) << r.out;
    EXPECT_EQ(r.objects()[0]["address"], "22");
    EXPECT_EQ(r.objects()[0]["stb"], 0x50);
    // The serial poll took the request back: no SRQ now.
    const Outcome quiet = cli({"srq", "--wait", "0.1"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_NE(quiet.err.find("no SRQ within 0.100 s"), std::string::npos) << quiet.err;
}

TEST_F(CliTest, SrqThroughTheInterruptChannelWakesWhenTheLineRises) {
    ASSERT_EQ(cli({"write", "3", "*SRE 16"}).status, 0);
    // The program waits on its interrupt channel; a second client makes 3 request service once
    // the program's interface session is open (the trace shows it). The library hears a line
    // that rose before its channel was enabled as well as one that rises after.
    TempFile trace;
    std::thread requester([&] {
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (trace.contents().find("\"iopen\"") == std::string::npos &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        cli({"write", "3", "*OPC?"});
    });
    const Outcome r = cli({"--trace", trace.path(), "srq", "--intr", "--wait", "20"});
    requester.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3\tstatus byte 80 (0x50)\n");
    const Outcome quiet = cli({"srq", "--intr", "--wait", "0.2"});
    EXPECT_EQ(quiet.status, 1) << quiet.out;
}

TEST_F(CliTest, TraceRecordsTheProgramsCalls) {
    TempFile trace;
    EXPECT_EQ(cli({"--trace", trace.path(), "query", "22", "*IDN?"}).status, 0);
    std::istringstream lines(trace.contents());
    std::vector<std::string> calls;
    for (std::string line; std::getline(lines, line);) {
        calls.push_back(nlohmann::json::parse(line)["call"]);
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"iopen", "iwrite", "iread", "iclose"}));
    const Outcome full = cli({"--trace", "/dev/full", "query", "22", "*IDN?"});
    EXPECT_EQ(full.status, 0);
    EXPECT_NE(full.err.find("trace turned off"), std::string::npos) << full.err;
}

TEST_F(CliTest, CtrlCEndsALoopWithItsSummary) {
    TempFile trace;
    const Outcome r = program(
        {"-s", testsupport::serverOf(m_sim), "--trace", trace.path(), "loop", "22", "*IDN?"}, {},
        [&](pid_t pid) {
            // Some passes are done once the trace shows reads; then Ctrl-C.
            const auto until = std::chrono::steady_clock::now() + 20s;
            auto lines = [&] {
                const std::string text = trace.contents();
                return std::count(text.begin(), text.end(), '\n');
            };
            while (lines() < 20 && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(5ms);
            }
            ::kill(pid, SIGINT);
        });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" passes/s"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("passes 0 "), std::string::npos) << r.out;
}

TEST_F(CliTest, DiscoverAsksOnlyTheTargetsAndNamesEveryServiceThatAnswered) {
    const std::string idn = "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0";
    const std::string hislip = std::to_string(m_sim.hislipPort());
    const std::string socket = std::to_string(m_sim.socketPort());
    const Outcome r =
        cli({"--json", "discover", "127.0.0.0/30", "--port", std::to_string(m_sim.portmapperPort()),
             "--hislip-port", hislip, "--socket-port", socket});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto found = r.objects();
    ASSERT_EQ(found.size(), 1u) << r.out;
    EXPECT_EQ(found[0]["host"], "127.0.0.1");
    EXPECT_EQ(found[0]["core_port"], m_sim.corePort());
    EXPECT_EQ(found[0]["idn"], idn);
    EXPECT_EQ(found[0]["hislip_port"], m_sim.hislipPort());
    EXPECT_EQ(found[0]["hislip_idn"], idn);
    EXPECT_EQ(found[0]["socket_port"], m_sim.socketPort());
    EXPECT_EQ(found[0]["socket_idn"], idn);
    const Outcome text = cli({"discover", testsupport::serverOf(m_sim), "--hislip-port", hislip,
                              "--socket-port", socket});
    EXPECT_NE(text.out.find("\n127.0.0.1\tsocket " + socket + "\t" + idn + "\n"), std::string::npos)
        << text.out;
    // A gateway without inst0 is found all the same, without an identity; a port 0 is not
    // tried.
    gateway::Simulator bare(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(testsupport::started(bare));
    const Outcome both = cli({"discover", testsupport::serverOf(bare), testsupport::serverOf(m_sim),
                              "--hislip-port", "0", "--socket-port", "0"});
    EXPECT_EQ(both.out, testsupport::serverOf(bare) + "\tcore " + std::to_string(bare.corePort()) +
                            "\t(no inst0 answer)\n" + testsupport::serverOf(m_sim) + "\tcore " +
                            std::to_string(m_sim.corePort()) + "\t" + idn + "\n");
    const auto noVxi11 = cli({"--json", "discover", "127.0.0.1", "--port", "0", "--hislip-port",
                              hislip, "--socket-port", "0"});
    ASSERT_EQ(noVxi11.objects().size(), 1u) << noVxi11.err;
    EXPECT_TRUE(noVxi11.objects()[0]["core_port"].is_null());
    EXPECT_EQ(noVxi11.objects()[0]["hislip_port"], m_sim.hislipPort());
}

TEST_F(CliTest, DeviceNamesReachTheGatewayAsWritten) {
    EXPECT_EQ(cli({"query", "inst0", "*IDN?"}).out,
              "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0\n");
    // A LAN instrument goes to remote and back through its own link: no bus line moves.
    EXPECT_EQ(cli({"remote", "inst0"}).out, "device to remote\n");
    EXPECT_TRUE(m_sim.instrument("inst0")->remote);
    EXPECT_EQ(cli({"local", "inst0"}).status, 0);
    EXPECT_FALSE(m_sim.instrument("inst0")->remote);
    EXPECT_FALSE(m_sim.bus().ren);
    // While a loop on hpib,22 runs, its link shows the name the program sent. Ctrl-C ends the
    // loop only once it runs (the trace shows its reads); before that it ends the program.
    TempFile trace;
    std::vector<gateway::LinkInfo> seen;
    const Outcome r = program(
        {"-s", testsupport::serverOf(m_sim), "--trace", trace.path(), "loop", "hpib,22", "*IDN?"},
        {}, [&](pid_t pid) {
            const auto until = std::chrono::steady_clock::now() + 20s;
            while (trace.contents().find("\"iread\"") == std::string::npos &&
                   std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(5ms);
            }
            seen = m_sim.links();
            ::kill(pid, SIGINT);
        });
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].requested, "hpib,22");
    EXPECT_EQ(seen[0].device, "gpib0,22");
}

TEST_F(CliTest, AWaveformBlockIsSavedByteExact) {
    ASSERT_EQ(cli({"write", "9", ":WAV:POIN 3000000"}).status, 0);
    ASSERT_EQ(cli({"write", "9", ":WAV:DATA?"}).status, 0);
    TempFile file;
    const Outcome r = cli({"--json", "read", "9", "--block", "--out", file.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.objects().size(), 1u);
    EXPECT_EQ(r.objects()[0]["bytes"], 3000000 + 10);
    EXPECT_EQ(r.objects()[0]["block_bytes"], 3000000);
    std::string expected(3000000, '\0');
    gateway::waveformBytes(
        0, std::span(reinterpret_cast<std::uint8_t*>(expected.data()), expected.size()));
    EXPECT_TRUE(file.contents() == expected) << "the file differs from the waveform";
}

/// A gateway without an interrupt channel.
class CliNoInterruptTest : public CliTest {
protected:
    CliNoInterruptTest() : CliTest(config()) {}
    static gateway::SimulatorConfig config() {
        gateway::SimulatorConfig c = clitest::withInst0(gateway::demoBench());
        c.interruptChannels = false;
        return c;
    }
};

TEST_F(CliNoInterruptTest, SrqIntrFallsBackToTheSrqLineWhenTheChannelIsRefused) {
    ASSERT_EQ(cli({"write", "22", "*SRE 16"}).status, 0);
    ASSERT_EQ(cli({"write", "22", "*OPC?"}).status, 0);
    const Outcome r = cli({"srq", "--intr", "--wait", "10"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "22\tstatus byte 80 (0x50)\n");
    EXPECT_NE(r.err.find("the gateway offers no interrupt channel (error 8: operation not "
                         "supported); polling the SRQ line instead"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(m_sim.liveLinks(), 0u) << "the refused channel's link is gone with the program";
}

/// A bench with an instrument that never answers and one whose answer is a binary block.
class CliBenchTest : public CliTest {
protected:
    CliBenchTest() : CliTest(clitest::withInst0(bench())) {}
    static std::vector<gateway::InstrumentConfig> bench() {
        auto instruments = testsupport::demoBenchWithSilentAt(14);
        auto scope = testsupport::instrumentAt(24, "Block Source");
        scope.queries = {{"WAV?", std::string("#16ab\0\r\nc", 10)}, {"SHORT?", "#19abc"}};
        instruments.push_back(scope);
        return instruments;
    }
};

TEST_F(CliBenchTest, CensusClearsAnInstrumentThatDoesNotAnswer) {
    const Outcome r = cli({"-t", "0.3", "census"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("14\tno answer: error 15: I/O timeout\n22\tOrvane Instruments"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(m_sim.instrument(14)->clearCount, 1u);
    const Outcome loop =
        cli({"-t", "0.2", "loop", "14", "*IDN?", "--count", "3", "--stop-on-error"});
    EXPECT_EQ(loop.status, 1);
    EXPECT_NE(loop.out.find("passes 0  errors 1"), std::string::npos) << loop.out;
}

TEST_F(CliBenchTest, ABlockIsUnwrappedAndSavedExactly) {
    TempFile file;
    const Outcome r = cli({"query", "24", "WAV?", "--block", "--out", file.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file.contents(), std::string("ab\0\r\nc", 6));
    EXPECT_EQ(r.out, "wrote 6 bytes to " + file.path() + "\n");
    const Outcome cut = cli({"query", "24", "SHORT?", "--block"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("block cut short: 4 of 9 bytes"), std::string::npos) << cut.err;
    // A limit that cuts the block keeps its data up to the limit, never its header.
    const Outcome limited =
        cli({"query", "24", "WAV?", "--block", "--max", "5", "--out", file.path()});
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(file.contents(), "ab");
    EXPECT_NE(limited.err.find("kept the block's first 2 bytes of data"), std::string::npos)
        << limited.err;
    EXPECT_EQ(cli({"query", "24", "WAV?", "--block", "--max", "2", "--out", file.path()}).status,
              1);
    EXPECT_EQ(file.contents(), "") << "the header was cut: no data came";
}

TEST(CliArguments, AddressesBytesWordsAndPercentiles) {
    EXPECT_EQ(cli::parseDeviceAddress("22").deviceName, "gpib,22");
    EXPECT_EQ(cli::parseDeviceAddress("502").deviceName, "gpib,502");
    EXPECT_EQ(cli::parseDeviceAddress("30,30").deviceName, "gpib,3030");
    EXPECT_EQ(cli::libraryAddress("h:7", cli::parseDeviceAddress("hpib,7")),
              "lan;vxi-11[h:7]:hpib,7");
    EXPECT_EQ(cli::parseDeviceAddress("inst0").pad, std::nullopt);
    for (const char* bad : {"31", "100", "531", "5,31", "", "7x", "a;b", "a]b"}) {
        EXPECT_THROW(cli::parseDeviceAddress(bad), cli::UsageError) << bad;
    }
    EXPECT_THROW(cli::parseDeviceAddress(std::string(65, 'a')), cli::UsageError);
    // A VISA resource reaches the library as typed; tcpip0 alone is still a device name.
    EXPECT_EQ(cli::libraryAddress("gw", cli::parseDeviceAddress("tcpip::h::HISLIP0::instr")),
              "tcpip::h::HISLIP0::instr");
    EXPECT_EQ(cli::libraryAddress("gw", cli::parseDeviceAddress("tcpip0")),
              "lan;vxi-11[gw]:tcpip0");

    EXPECT_EQ(cli::hexText(cli::parseBusBytes({"SDC", "GET", "GTL", "LLO", "DCL", "SPE", "SPD",
                                               "TCT", "PPU", "UNT", "MSA", "2", "255"})),
              "04 08 01 11 14 18 19 09 15 5F 62 FF");
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {}, {"256"}, {"MTA"}, {"MTA", "x"}, {"0x"}, {"-1"}}) {
        EXPECT_THROW(cli::parseBusBytes(bad), cli::UsageError);
    }

    EXPECT_EQ(cli::splitWords(R"(q  'a b'  "c \" d" e\ f)"),
              (std::vector<std::string>{"q", "a b", "c \" d", "e f"}));
    EXPECT_THROW(cli::splitWords("q 'open"), cli::UsageError);

    const auto hosts = cli::expandTargets({"127.0.0.0/30", "127.0.0.9:5000", "127.0.0.4/31"}, 111,
                                          std::chrono::milliseconds(100));
    std::vector<std::string> listed;
    for (const auto& t : hosts) {
        listed.push_back(t.host + ":" + std::to_string(t.portmapperPort));
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"127.0.0.1:111", "127.0.0.2:111", "127.0.0.9:5000",
                                                "127.0.0.4:111", "127.0.0.5:111"}));
    EXPECT_EQ(cli::expandTargets({"127.0.0.0/22"}, 111, 100ms).size(), 1022u);
    for (const char* bad :
         {"127.0.0.0/21", "127.0.0.0/x", "300.0.0.0/24", "h:0", "h:70000", "a]b"}) {
        EXPECT_THROW(cli::expandTargets({bad}, 111, 100ms), cli::UsageError) << bad;
    }

    cli::LatencyStats stats;
    for (int us = 1; us <= 100; ++us) {
        stats.add(std::chrono::microseconds(us));
    }
    stats.add(5s);
    EXPECT_EQ(stats.count(), 101u);
    EXPECT_NEAR(stats.percentileMs(0.5), 0.051, 0.001);
    EXPECT_NEAR(stats.percentileMs(0.95), 0.096, 0.001);
    EXPECT_NEAR(stats.maxMs(), 5000.0, 1e-9);
    EXPECT_NEAR(stats.percentileMs(1.0), 5000.0, 5000.0 / 64);
}

} // namespace
