// The shell after a query whose answer came too late on a raw socket: the next query gets its
// own answer, and the program says once that the session was re-synchronised.

#include "CliFixture.h"
#include "vxi11/client/ScriptServer.h"

namespace {

using clitest::CliTest;
using clitest::Outcome;
using testsupport::Peer;

/// The next line the client sent, LF included; empty when it closed.
std::string lineFrom(Peer& p) {
    std::string line;
    while (auto b = p.readExact(1)) {
        line += static_cast<char>(b->front());
        if (line.back() == '\n') {
            break;
        }
    }
    return line;
}

void say(Peer& p, const std::string& text) {
    p.sendRaw({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

TEST_F(CliTest, AQueryAfterATimedOutOneGetsItsOwnAnswerAndANoteOnce) {
    // A? is answered only with the next query, as a slow instrument's late answer would be.
    testsupport::ScriptServer server([](Peer& p) {
        std::string late;
        for (std::string line = lineFrom(p); !line.empty(); line = lineFrom(p)) {
            say(p, late + (line == "A?\n" ? "" : "answer to " + line));
            late = line == "A?\n" ? "late A\n" : "";
        }
    });
    const std::string socket = "TCPIP::127.0.0.1::" + std::to_string(server.port()) + "::SOCKET";
    const Outcome r = program({"-t", "0.3"}, "use " + socket + "\nq A?\nq B?\nq C?\n");
    EXPECT_EQ(r.out, "using " + socket + "\nanswer to B?\nanswer to C?\n");
    EXPECT_NE(r.err.find("I/O timeout"), std::string::npos) << r.err;
    const std::size_t note = r.err.find("re-synchronised");
    ASSERT_NE(note, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("re-synchronised", note + 1), std::string::npos) << "once: " << r.err;
}

} // namespace
