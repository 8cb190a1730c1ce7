// siclquill-cli against a raw socket instrument played by a script on loopback: answers that a
// time-out or the instrument's close cuts short, and a write whose file comes slowly.

#include "CliFixture.h"
#include "vxi11/client/ScriptServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace {

using clitest::CliTest;
using clitest::Outcome;
using clitest::TempFile;
using testsupport::Peer;
using namespace std::chrono_literals;

/// The next line the client sent, LF included; empty when it closed.
std::string lineFrom(Peer& p) {
    std::string line;
    while (const auto b = p.readExact(1)) {
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

/// An instrument on a raw socket that answers PART? with 5 bytes and then nothing,
/// INDEF? with an indefinite block and then nothing, CLOSE? with an indefinite block ended by
/// closing the connection, and *IDN? with its identity.
class CliSocketPeerTest : public CliTest {
protected:
    CliSocketPeerTest()
        : m_peer([](Peer& p) {
              for (std::string line = lineFrom(p); !line.empty(); line = lineFrom(p)) {
                  if (line == "PART?\n") {
                      say(p, "12345");
                  } else if (line == "INDEF?\n") {
                      say(p, "#0ab\ncd");
                  } else if (line == "CLOSE?\n") {
                      say(p, "#0ab\ncd");
                      p.close();
                      return;
                  } else if (line == "*IDN?\n") {
                      say(p, "ACME,1\n");
                  }
              }
              p.waitClosed();
          }) {}

    std::string resource() const {
        return "TCPIP::127.0.0.1::" + std::to_string(m_peer.port()) + "::SOCKET";
    }

    testsupport::ScriptServer m_peer;
};

TEST_F(CliSocketPeerTest, WhatCameBeforeATimeOutIsShownOrSaved) {
    const Outcome shown = program({"-t", "0.3", "query", resource(), "PART?"});
    EXPECT_EQ(shown.status, 1);
    EXPECT_EQ(shown.out, "");
    EXPECT_EQ(shown.err, "siclquill-cli: query: error 15: I/O timeout\n"
                         "siclquill-cli: query: 5 bytes came before the time-out: 12345\n");
    const auto object = program({"-t", "0.3", "--json", "query", resource(), "PART?"}).objects();
    ASSERT_EQ(object.size(), 1u);
    EXPECT_EQ(object[0]["partial"], "12345");
    EXPECT_EQ(object[0]["error"]["number"], 15);
    // An indefinite block that the time-out ends: its data is saved, and the exit status says
    // that it did not end cleanly.
    TempFile file;
    const Outcome block =
        program({"-t", "0.3", "query", resource(), "INDEF?", "--block", "--out", file.path()});
    EXPECT_EQ(block.status, 1);
    EXPECT_EQ(file.contents(), "ab\ncd");
    EXPECT_NE(block.err.find("7 bytes came before the time-out (5 bytes of the block's data), "
                             "written to " +
                             file.path()),
              std::string::npos)
        << block.err;
}

// Needs the library to end a read inside an indefinite block at the peer's orderly close
// (success with END), which the socket reader does not do yet.
TEST_F(CliSocketPeerTest, AnIndefiniteBlockEndsCleanlyWhenTheInstrumentCloses) {
    TempFile file;
    const std::string address = resource();
    const Outcome r = program({"-s", "127.0.0.1", "-t", "5"},
                              "query " + address + " CLOSE? --block --out " + file.path() +
                                  "\nquery " + address + " *IDN?\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file.contents(), "ab\ncd");
    EXPECT_NE(r.err.find("the instrument closed the connection to end the answer"),
              std::string::npos)
        << r.err;
    // The next command connects again.
    EXPECT_EQ(r.out, "wrote 5 bytes to " + file.path() + "\nACME,1\n");
    EXPECT_EQ(m_peer.accepted(), 2);
}

TEST_F(CliSocketPeerTest, ReadingTheFileOfAWriteCountsAgainstItsTimeOut) {
    // The file comes over a pipe in two halves 1 s apart. The instrument is a listener that
    // never accepts, with a small receive buffer: the write stops once the buffers are full.
    const int deaf = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(deaf, 0);
    const int small = 4096;
    ::setsockopt(deaf, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof bound;
    ASSERT_EQ(::bind(deaf, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    ASSERT_EQ(::listen(deaf, 1), 0);
    ASSERT_EQ(::getsockname(deaf, reinterpret_cast<sockaddr*>(&bound), &length), 0);
    const std::string address =
        "TCPIP::127.0.0.1::" + std::to_string(ntohs(bound.sin_port)) + "::SOCKET";
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    // A program that gave up early leaves the feeder writing to a pipe with no reader.
    std::signal(SIGPIPE, SIG_IGN);
    std::thread feeder([&] {
        const std::string half(4 << 20, 'x');
        for (int i = 0; i < 2; ++i) {
            for (std::size_t at = 0; at < half.size();) {
                const ssize_t n = ::write(pipe[1], half.data() + at, half.size() - at);
                if (n <= 0) {
                    break;
                }
                at += static_cast<std::size_t>(n);
            }
            if (i == 0) {
                std::this_thread::sleep_for(1s);
            }
        }
        ::close(pipe[1]);
    });
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = spawn({"-t", "1.5", "write", address, "DATA ", "--file", "/dev/stdin"},
                            pipe[0], -1, [&](pid_t, const TempFile&, const TempFile&) {});
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(pipe[0]);
    feeder.join();
    ::close(deaf);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "siclquill-cli: write: error 15: I/O timeout\n");
    EXPECT_GT(took, 1300ms);
    EXPECT_LT(took, 2000ms) << "the write had the whole time-out after reading the file";
}

} // namespace
