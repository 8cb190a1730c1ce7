// siclquill-cli at its edges, where a scripting tool must neither lose data nor hide a failure:
// output that cannot be written, answers longer than the read limit, a gateway that restarts,
// a forgotten TEXT in the shell, bad numbers and servers, targets that do not resolve, and a
// census that meets a lock.

#include "CliFixture.h"
#include "lan/LanLibrary.h"

#include <sys/stat.h>

#include <memory>

namespace {

using clitest::CliTest;
using clitest::Outcome;
using clitest::TempFile;

std::size_t occurrences(const std::string& all, const std::string& text) {
    std::size_t n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++n;
    }
    return n;
}

class CliFaultTest : public CliTest {
protected:
    std::vector<std::string> withServer(std::vector<std::string> args) const {
        args.insert(args.begin(), {"-s", testsupport::serverOf(m_sim)});
        return args;
    }
    /// Runs the program with its standard output on `fd` and `input` on standard input.
    Outcome toFd(std::vector<std::string> args, int fd, const std::string& input = {}) {
        TempFile in;
        { std::ofstream(in.path(), std::ios::binary) << input; }
        const int stdinFd = ::open(in.path().c_str(), O_RDONLY | O_CLOEXEC);
        Outcome r = spawn(withServer(std::move(args)), stdinFd, fd,
                          [](pid_t, const TempFile&, const TempFile&) {});
        ::close(stdinFd);
        return r;
    }
};

TEST_F(CliFaultTest, OutputThatCannotBeWrittenFailsTheProgramWithOneMessage) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    const std::vector<std::vector<std::string>> commands = {{"query", "22", "*IDN?"},
                                                            {"census"},
                                                            {"loop", "22", "*IDN?", "--count", "3"},
                                                            {"--json", "status"},
                                                            {}};
    for (const auto& args : commands) {
        const Outcome r = toFd(args, full, "use 22\nq *IDN?\nspoll\n");
        EXPECT_EQ(r.status, 1) << (args.empty() ? "shell" : args[0]) << r.err;
        EXPECT_EQ(occurrences(r.err, "cannot write standard output: No space left on device"), 1u)
            << r.err;
    }
    ::close(full);
    // A reader that went away before the answer came: the raw bytes cannot be delivered.
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::close(pipe[0]);
    const Outcome gone = toFd({"query", "9", ":WAV:DATA?", "--raw"}, pipe[1]);
    ::close(pipe[1]);
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.err.find("cannot write standard output: Broken pipe"), std::string::npos)
        << gone.err;
}

TEST_F(CliFaultTest, AnAnswerLongerThanTheLimitFailsAndLeavesNothingForTheNextRead) {
    ASSERT_EQ(cli({"write", "9", ":WAV:POIN 3000000"}).status, 0);
    TempFile file;
    const Outcome r = cli({"--json", "query", "9", ":WAV:DATA?", "--raw", "--out", file.path()});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.objects().size(), 1u) << r.out;
    const auto o = r.objects()[0];
    EXPECT_EQ(o["truncated"], true);
    EXPECT_EQ(o["bytes"], 1048576);
    EXPECT_EQ(file.contents().size(), 1048576u) << "the bytes up to the limit are kept";
    EXPECT_NE(r.err.find("raise the limit with --max N"), std::string::npos) << r.err;
    // The rest of the waveform was read and dropped: nothing waits for the next read.
    const Outcome next = cli({"-t", "0.3", "read", "9"});
    EXPECT_EQ(next.status, 1);
    EXPECT_EQ(next.out, "");
    EXPECT_NE(next.err.find("I/O timeout"), std::string::npos) << next.err;
    // A limit that cuts a short answer is the same failure.
    EXPECT_EQ(cli({"query", "22", "*IDN?", "--max", "7"}).status, 1);
}

TEST_F(CliFaultTest, AfterTheGatewayRestartsTheNextCommandOpensTheLinksAgain) {
    int in[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    const auto send = [&](const std::string& line) {
        ASSERT_EQ(::write(in[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    };
    gateway::SimulatorConfig again = clitest::withInst0(gateway::demoBench());
    again.portmapperPort = m_sim.portmapperPort();
    gateway::Simulator restarted(again);
    const Outcome r =
        spawn(withServer({}), in[0], -1, [&](pid_t, const TempFile& out, const TempFile& err) {
            ::close(in[0]);
            // End of input ends the shell, whatever fails below.
            const std::unique_ptr<int, void (*)(int*)> closing(&in[1],
                                                               [](int* fd) { ::close(*fd); });
            send("use 22\nlock\nq *IDN?\nstatus\n");
            ASSERT_TRUE(clitest::waitFor(out, "REN = "));
            m_sim.stop();
            ASSERT_TRUE(testsupport::started(restarted));
            // An interface command first: its session too is opened again.
            send("status\n");
            ASSERT_TRUE(clitest::waitFor(err, "error 104"));
            send("status\nq *IDN?\n");
            ASSERT_TRUE(clitest::waitFor(out, "Orvane", 2));
        });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(occurrences(r.out, "REN = "), 2u) << r.out;
    EXPECT_EQ(occurrences(r.err, "opening the links again"), 1u) << r.err;
    EXPECT_NE(r.err.find("the lock on 22 is gone"), std::string::npos) << r.err;
}

TEST_F(CliFaultTest, ALoopRidesOutARestartAtAFewTriesASecondAndReportsTheOutage) {
    gateway::SimulatorConfig again = clitest::withInst0(gateway::demoBench());
    again.portmapperPort = m_sim.portmapperPort();
    gateway::Simulator restarted(again);
    TempFile trace;
    const Outcome r = spawn(
        withServer({"--trace", trace.path(), "--json", "loop", "22", "*IDN?", "--duration", "4"}),
        -1, -1, [&](pid_t, const TempFile&, const TempFile&) {
            ASSERT_TRUE(clitest::waitFor(trace, "\"iread\"", 5));
            m_sim.stop();
            // Two tries to open the link again have failed: then the gateway comes back.
            ASSERT_TRUE(clitest::waitFor(trace, "\"iopen\"", 3));
            ASSERT_TRUE(testsupport::started(restarted));
        });
    EXPECT_EQ(r.status, 1) << r.err;
    ASSERT_EQ(r.objects().size(), 1u) << r.out;
    const auto o = r.objects()[0];
    EXPECT_GE(o["outage_passes"].get<int>(), 2);
    EXPECT_EQ(o["outage_passes"], o["errors"]);
    // Without pacing a dead link failed some 100,000 passes a second.
    EXPECT_LT(o["errors"].get<int>(), 50);
    EXPECT_GT(o["outage_s"].get<double>(), 0.0);
    EXPECT_LT(o["outage_s"].get<double>(), 4.0);
    EXPECT_GT(restarted.callCount(), 5u) << "passes ran on the new gateway";
}

TEST_F(CliFaultTest, InTheShellAForgottenTextIsBadUsageAndSendsNothing) {
    const std::uint64_t calls = m_sim.callCount();
    for (const char* line : {"write 3", "loop 9 --count 2", "query 22", "q", "w  ", "query"}) {
        const Outcome r = cli({}, std::string("use 9\n") + line + "\n");
        EXPECT_EQ(r.status, 2) << line << r.out;
        EXPECT_NE(r.err.find("TEXT"), std::string::npos) << line << r.err;
    }
    EXPECT_EQ(m_sim.callCount(), calls);
    // A word that is no address is the TEXT for the current address.
    EXPECT_EQ(cli({}, "use 22\nwrite *CLS\nloop *IDN? --count 2\n").status, 0);
}

TEST_F(CliFaultTest, BadNumbersAndServersAreRefusedInWords) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-t", "nan", "read", "22"}, "--timeout must be a number of seconds"},
        {{"-t", "inf", "read", "22"}, "--timeout must be a number of seconds"},
        {{"-t", "abc", "read", "22"}, "--timeout must be a number of seconds"},
        {{"loop", "22", "x", "--count", "0"}, "--count must be a whole number, at least 1"},
        {{"loop", "22", "x", "--duration", "0"}, "--duration must be a number of seconds"},
        {{"loop", "22", "x", "--interval", "-1"}, "--interval must be a number of millisec"},
        {{"srq", "--wait", "-1"}, "--wait must be a number of seconds"},
        {{"-s", "127.0.0.1:abc", "find"}, "the port must be a number from 1 to 65535"},
        {{"-s", "host:0", "find"}, "the port must be a number from 1 to 65535"},
        {{"-s", ":111", "find"}, "no host"},
        {{"read", "22", "--until", "0xZZ"}, "--until takes one character"}};
    for (const auto& [args, words] : cases) {
        const Outcome r =
            program(args[0] == "-s" ? args : withServer(args), {}, clitest::killAfterTimeLimit);
        EXPECT_EQ(r.status, 2) << args[1] << r.err;
        EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
        EXPECT_LT(r.err.size(), 300u) << "no 300-digit bounds";
    }
}

TEST_F(CliFaultTest, DiscoverProbesEveryTargetThatResolvesAndReportsTheOthers) {
    // A label longer than 63 bytes fails in the resolver itself: no name server is asked.
    const std::string bad = std::string(70, 'a') + ".invalid";
    const Outcome r = cli({"--json", "discover", testsupport::serverOf(m_sim), bad, "--hislip-port",
                           "0", "--socket-port", "0"});
    EXPECT_EQ(r.status, 1) << r.err;
    const auto objects = r.objects();
    ASSERT_EQ(objects.size(), 2u) << r.out;
    EXPECT_EQ(objects[0]["core_port"], m_sim.corePort());
    EXPECT_TRUE(objects[0]["hislip_port"].is_null()) << "port 0: not tried";
    EXPECT_EQ(objects[1]["host"], bad);
    EXPECT_EQ(objects[1]["error"]["number"], 102);
}

TEST_F(CliFaultTest, CensusNamesWhyARowFailed) {
    lan::LanLibrary other;
    const auto id = other.vb_iopen("lan;vxi-11[" + testsupport::serverOf(m_sim) + "]:gpib,22");
    ASSERT_NE(id, 0);
    ASSERT_EQ(other.vb_ilock(id), 0);
    const Outcome r = cli({"-t", "0.3", "--json", "census"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto rows = r.objects();
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_TRUE(rows[2]["idn"].is_null());
    EXPECT_EQ(rows[2]["error"]["number"], 11);
    EXPECT_EQ(rows[2]["error"]["text"], "device locked by another link");
    EXPECT_NE(cli({"-t", "0.3", "census"}).out.find("22\tno answer: error 11: device locked"),
              std::string::npos);
}

} // namespace
