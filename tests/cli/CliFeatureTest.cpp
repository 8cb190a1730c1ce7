// What a bench engineer scripts with: the shell's timeout, term, sleep and source, a script
// that stops at its first failed line, reads that end at a character or show a hex dump,
// files uploaded as blocks, the instrument's own errors as failures; and the small promises
// of the output (standard output as --out -, counts, nulls, error objects).

#include "CliFixture.h"

#include <chrono>

namespace {

using clitest::CliTest;
using clitest::Outcome;
using clitest::TempFile;
using namespace std::chrono_literals;

/// The demo bench with a silent instrument at 14 and a block source at 24.
class CliFeatureTest : public CliTest {
protected:
    CliFeatureTest() : CliTest(clitest::withInst0(bench())) {}
    static std::vector<gateway::InstrumentConfig> bench() {
        auto instruments = testsupport::demoBenchWithSilentAt(14);
        auto source = testsupport::instrumentAt(24, "Block Source");
        source.queries = {{"WAV?", std::string("#16ab\0\r\nc", 10)}};
        instruments.push_back(source);
        return instruments;
    }
};

TEST_F(CliFeatureTest, TheShellSetsTimeoutAndTerminatorsSleepsAndSourcesAFile) {
    TempFile script;
    { std::ofstream(script.path()) << "use 22\nterm crlf\nw *IDN?\nterm\n"; }
    const auto start = std::chrono::steady_clock::now();
    const Outcome r =
        cli({}, "timeout 0.2\nread 14\ntimeout\nsource " + script.path() + "\nsleep 1\nq *IDN?\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "read 14 waited 0.2 s, not 10";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "time-out 0.2 s\ntime-out 0.2 s\nusing 22\nterminators crlf\n"
                     "wrote 7 bytes\nterminators crlf\n"
                     "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\n");
    EXPECT_NE(r.err.find("read: error 15: I/O timeout"), std::string::npos) << r.err;
}

TEST_F(CliFeatureTest, StopOnErrorEndsAScriptAtItsFirstFailedLine) {
    TempFile script;
    { std::ofstream(script.path()) << "q *IDN?\nquery 99 x\nq *IDN?\n"; }
    const std::string lines = "use 22\nsource " + script.path() + "\nq *IDN?\n";
    const Outcome goesOn = cli({}, lines);
    EXPECT_EQ(goesOn.status, 0);
    const Outcome stops = cli({"--stop-on-error"}, lines);
    EXPECT_EQ(stops.status, 2);
    EXPECT_EQ(stops.out,
              "using 22\nOrvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\n");
}

TEST_F(CliFeatureTest, LinesThatAreNoCommandsLeaveAScriptsStatusAlone) {
    TempFile script;
    { std::ofstream(script.path()) << "query 7 *IDN?\n\n# the end\n"; }
    for (const std::string& tail : {std::string("\n"), std::string("\n  \t\n"),
                                    std::string("\n# done\n"), "\nsource " + script.path()}) {
        EXPECT_EQ(cli({}, "query 7 *IDN?" + tail).status, 1) << tail;
    }
}

TEST_F(CliFeatureTest, FilesAreReadToTheirEndOrRefusedWithTheirReason) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ASSERT_EQ(::write(pipe[1], std::string(1000, 'z').data(), 1000), 1000);
    ::close(pipe[1]);
    const Outcome streamed = spawn({"-s", testsupport::serverOf(m_sim), "write", "9", "DATA ",
                                    "--file", "/dev/stdin", "--block"},
                                   pipe[0], -1, [](pid_t, const TempFile&, const TempFile&) {});
    ::close(pipe[0]);
    EXPECT_EQ(streamed.out, "wrote 1012 bytes\n") << streamed.err;
    EXPECT_EQ(cli({"query", "9", "DATA:COUN?"}).out, "1000\n");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"write 9 x --file /etc", "write: cannot read /etc: Is a directory"},
        {"write 9 x --file /no/such", "write: cannot read /no/such: No such file or directory"},
        {"source /etc", "source: cannot read /etc: Is a directory"}};
    for (const auto& [line, why] : refused) {
        const Outcome r = cli({}, line + "\n");
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    }
}

TEST_F(CliFeatureTest, ReadsEndAtACharacterShowHexAndWritesSendFilesAsBlocks) {
    const Outcome r = cli({}, "use 22\nquery 22 *IDN? --until ,\nr\n");
    EXPECT_EQ(r.out, "using 22\nOrvane Instruments,\nDM-6510 Digital Multimeter,OV220417,2.4.1\n")
        << r.err;
    const Outcome hex = cli({"query", "24", "WAV?", "--hex"});
    EXPECT_EQ(hex.out, "00000000  23 31 36 61 62 00 0d 0a  63 00 0a                 "
                       "|#16ab...c..|\n");
    TempFile file;
    { std::ofstream(file.path(), std::ios::binary) << std::string(1000, '\x0a'); }
    const Outcome sent = cli({"write", "9", "DATA ", "--file", file.path(), "--block"});
    EXPECT_EQ(sent.out, "wrote 1012 bytes\n") << sent.err;
    EXPECT_EQ(cli({"query", "9", "DATA:COUN?"}).out, "1000\n");
}

TEST_F(CliFeatureTest, CheckErrorsTurnsAnInstrumentsErrorIntoAFailure) {
    EXPECT_EQ(cli({"--check-errors", "write", "22", "*CLS"}).status, 0);
    // Errors queued before a command are named, and do not fail it: one left by another
    // program, and one of a query that timed out.
    ASSERT_EQ(cli({"write", "22", "BOGUS"}).status, 0);
    const Outcome older = cli({"--check-errors", "write", "22", "*SRE 0"});
    EXPECT_EQ(older.status, 0) << older.err;
    EXPECT_NE(older.err.find("write: already queued before this command (not counted): -113"),
              std::string::npos)
        << older.err;
    const Outcome late =
        cli({"--check-errors", "-t", "0.3"}, "query 22 BOGUS?\nwrite 22 '*SRE 0'\n");
    EXPECT_EQ(late.status, 0) << late.err;
    EXPECT_NE(late.err.find("query: error 15"), std::string::npos) << late.err;
    EXPECT_NE(late.err.find("already queued before this command (not counted): -113"),
              std::string::npos)
        << late.err;
    const Outcome syst = cli({"--check-errors", "write", "22", "BOGUS"});
    EXPECT_EQ(syst.status, 1);
    EXPECT_NE(syst.err.find("the instrument reports -113"), std::string::npos) << syst.err;
    const Outcome esr = cli({"--check-errors=esr", "write", "22", "BOGUS"});
    EXPECT_EQ(esr.status, 1);
    EXPECT_NE(esr.err.find("command error"), std::string::npos) << esr.err;
}

TEST_F(CliFeatureTest, OutputKeepsItsSmallPromises) {
    // --out - is standard output: the bytes as they came, and no file named "-".
    const Outcome dash = cli({"query", "22", "*IDN?", "--out", "-"});
    EXPECT_EQ(dash.out, "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\r\n");
    EXPECT_NE(::access("-", F_OK), 0);
    EXPECT_EQ(cli({"--no-lf", "write", "22", "x"}).out, "wrote 1 byte\n");
    // No pass: no statistics, rather than a made-up 0.
    const auto none =
        cli({"-t", "0.2", "--json", "loop", "14", "*IDN?", "--count", "1"}).objects().at(0);
    EXPECT_TRUE(none["min_ms"].is_null());
    EXPECT_TRUE(none["p95_ms"].is_null());
    // No pause after the last pass, and no pass that could not start before the end.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cli({"loop", "22", "*IDN?", "--count", "1", "--interval", "5000"}).status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    const auto paced =
        cli({"--json", "loop", "22", "*IDN?", "--duration", "0.5", "--interval", "200"}).objects();
    EXPECT_EQ(paced.at(0)["passes"], 3);
    // Every error object names the address, and its number (null outside the library).
    EXPECT_EQ(cli({"--json", "query", "7", "*IDN?"}).objects().at(0)["address"], "7");
    const auto noSrq = cli({"--json", "srq", "--wait", "0.05"}).objects().at(0);
    EXPECT_TRUE(noSrq["error"]["number"].is_null());
    const auto usage = cli({"--json", "query", "99", "x"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.objects().at(0)["error"]["usage"], true);
}

} // namespace
