// Raw socket sessions through the library's entries, against a scripted peer on loopback:
// what goes on the wire, how reads end, and every way a peer can misbehave.

#include "lan/LanLibrary.h"
#include "library/LibraryError.h"
#include "net/Interrupt.h"
#include "socket/SocketReader.h"
#include "socket/SocketTransport.h"
#include "vxi11/client/ScriptServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <thread>

using namespace std::chrono_literals;
using library::liberr::kConnectionLost;
using testsupport::Peer;
using Clock = std::chrono::steady_clock;

namespace {

using rawsocket::kReasonChr;
using rawsocket::kReasonReqCnt;

/// Receive calls that take one byte at a time, so every reply arrives cut at every byte.
class OneByteOps final : public net::SocketOps {
public:
    ssize_t recv(int fd, void* data, std::size_t length) override {
        return SocketOps::recv(fd, data, length > 0 ? 1 : 0);
    }
};

/// The next line the client sent, LF included; empty when the client closed.
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

struct Reply {
    int error = 0;
    std::string data;
    std::int32_t reason = 0;
};

/// A scripted peer and a session to it. Each connection runs the script with its number.
class SocketSessionTest : public ::testing::Test {
protected:
    using Script = std::function<void(Peer&, int connection)>;

    void TearDown() override {
        m_stop = true;
        m_lib.reset(); // closes the connections first, so the scripts see the end
        m_server.reset();
    }

    void start(Script script) {
        m_server = std::make_unique<testsupport::ScriptServer>(
            [this, script](Peer& p) { script(p, m_connections++); });
    }
    std::string resource() const {
        return "TCPIP0::127.0.0.1::" + std::to_string(m_server->port()) + "::SOCKET";
    }
    /// Opens a session through the LAN library.
    sicl::SessionId open(Script script, net::SocketOps* ops = nullptr) {
        start(std::move(script));
        lan::LanLibrary::Options options;
        options.resolver = [](const std::string&) {
            return std::vector<net::IpAddress>{};
        }; // no name server
        if (ops != nullptr) {
            options.socketOps = ops;
        }
        m_lib = std::make_unique<lan::LanLibrary>(options);
        const sicl::SessionId id = m_lib->vb_iopen(resource());
        EXPECT_GT(id, 0) << m_lib->vb_igeterrno();
        return id;
    }

    int write(sicl::SessionId id, const std::string& text, std::int32_t* actual = nullptr) {
        std::int32_t sent = 0;
        const int error =
            m_lib->vb_iwrite(1, id, text, static_cast<std::int32_t>(text.size()), 0, sent);
        if (actual != nullptr) {
            *actual = sent;
        }
        return error;
    }
    Reply read(sicl::SessionId id, std::size_t size) {
        Reply r;
        r.data.assign(size, '.');
        std::int32_t actual = 0;
        r.error = m_lib->vb_iread(1, id, r.data, static_cast<std::int32_t>(size), r.reason, actual);
        r.data.resize(static_cast<std::size_t>(actual));
        return r;
    }

    std::unique_ptr<testsupport::ScriptServer> m_server;
    std::unique_ptr<library::Library> m_lib;
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_stop{false};
};

/// A block of `size` bytes with LF bytes all through it.
std::string blockOf(std::size_t size) {
    std::string data;
    for (std::size_t i = 0; i < size; ++i) {
        data += static_cast<char>(i % 7 == 3 ? '\n' : 'a' + i % 26);
    }
    const std::string length = std::to_string(size);
    return "#" + std::to_string(length.size()) + length + data;
}

} // namespace

TEST_F(SocketSessionTest, WritesGoOutAsTheyAreAndReadsEndAtTheTerminator) {
    std::promise<std::string> received;
    const auto id = open([&](Peer& p, int) {
        std::string lines = lineFrom(p);
        lines += lineFrom(p);
        received.set_value(lines);
        say(p, "ACME,1,2\nA,B\n"); // two replies in one piece
        p.waitClosed();
    });
    std::int32_t sent = 0;
    EXPECT_EQ(write(id, "*IDN?\n", &sent), 0);
    EXPECT_EQ(sent, 6);
    std::int32_t endSent = 0;
    EXPECT_EQ(m_lib->vb_iwrite(1, id, "MEAS?\n", 6, 1, endSent), 0); // END changes nothing
    EXPECT_EQ(received.get_future().get(), "*IDN?\nMEAS?\n");

    const Reply first = read(id, 100);
    EXPECT_EQ(first.data, "ACME,1,2\n");
    EXPECT_EQ(first.reason, kReasonChr);
    EXPECT_EQ(m_lib->vb_itermchr(id, ','), 0);
    EXPECT_EQ(read(id, 100).data, "A,");
    // -1 turns the terminator off, LF included: the count ends the read.
    EXPECT_EQ(m_lib->vb_itermchr(id, -1), 0);
    const Reply counted = read(id, 2);
    EXPECT_EQ(counted.data, "B\n");
    EXPECT_EQ(counted.reason, kReasonReqCnt);
}

TEST_F(SocketSessionTest, BlocksWithLfInsideAreReadWholeEvenCutAtEveryByte) {
    const std::string small = blockOf(300);
    const std::string large = blockOf(3 << 20);
    for (const bool byteWise : {false, true}) {
        SCOPED_TRACE(byteWise ? "one byte per receive" : "as the kernel gives");
        OneByteOps oneByte;
        const auto id = open(
            [&](Peer& p, int) {
                if (lineFrom(p) == "CURV?\n") {
                    say(p, (byteWise ? small : large) + "\nOK\n");
                }
                p.waitClosed();
            },
            byteWise ? &oneByte : nullptr);
        ASSERT_EQ(write(id, "CURV?\n"), 0);
        const std::string& block = byteWise ? small : large;
        const Reply r = read(id, block.size() + 10);
        EXPECT_EQ(r.error, 0);
        EXPECT_TRUE(r.data == block + "\n") << r.data.size();
        EXPECT_EQ(read(id, 10).data, "OK\n");
        TearDown();
    }
}

TEST_F(SocketSessionTest, ALateAnswerIsNeverHandedToALaterQuery) {
    // Each query is answered in two halves: the first at once, the second only with the
    // answer to the next query on the same connection, as a slow instrument's late answer.
    const std::map<std::string, std::pair<std::string, std::string>> answers{
        {"SPLIT?\n", {"S1,1,", "1\n"}},
        {"WAV?\n", {"#3100" + std::string(50, 'x'), std::string(49, 'y') + "\n\n"}},
        {"*IDN?\n", {"IDN\n", ""}}};
    const auto id = open([&](Peer& p, int) {
        std::string late;
        for (std::string line = lineFrom(p); !line.empty(); line = lineFrom(p)) {
            const auto& [now, rest] = answers.at(line);
            say(p, late + now);
            late = rest;
        }
    });
    ASSERT_EQ(m_lib->vb_itimeout(id, 300), 0);
    for (const char* query : {"SPLIT?\n", "WAV?\n"}) {
        SCOPED_TRACE(query);
        ASSERT_EQ(write(id, query), 0);
        const Reply cut = read(id, 1000);
        EXPECT_EQ(cut.error, library::liberr::kIoTimeout);
        EXPECT_EQ(cut.data, answers.at(query).first); // what came is handed over
        ASSERT_EQ(write(id, "*IDN?\n"), 0);
        const Reply next = read(id, 1000);
        EXPECT_EQ(next.data, "IDN\n");
        EXPECT_EQ(next.reason, kReasonChr | sicl::reason::kResync);
        EXPECT_EQ(read(id, 1000).error, library::liberr::kIoTimeout); // nothing more came
    }
    EXPECT_EQ(m_connections, 4); // each query after a time-out went on a new connection
}

TEST_F(SocketSessionTest, AnInterruptedReadLeavesNothingForTheNextQuery) {
    std::promise<void> begun;
    const auto id = open([&](Peer& p, int connection) {
        const std::string line = lineFrom(p);
        if (connection == 0) {
            say(p, "#800100000" + std::string(1000, '\n')); // a long block, 1 kB of it sent
            begun.set_value();
            p.waitClosed();
            return;
        }
        if (line == "*IDN?\n") {
            say(p, "IDN\n");
        }
    });
    ASSERT_EQ(write(id, "CURV?\n"), 0);
    net::interrupt::arm();
    std::thread ctrlC([&] {
        begun.get_future().wait();
        net::interrupt::trigger();
    });
    const Reply cut = read(id, 200000);
    ctrlC.join();
    net::interrupt::reset();
    EXPECT_EQ(cut.error, library::liberr::kInterrupted);
    ASSERT_EQ(write(id, "*IDN?\n"), 0);
    const Reply next = read(id, 1000);
    EXPECT_EQ(next.data, "IDN\n");
    EXPECT_NE(next.reason & sicl::reason::kResync, 0);
}

TEST_F(SocketSessionTest, AnIndefiniteBlockEndsWithTheConnectionOrTheTimeOut) {
    const auto id = open([&](Peer& p, int connection) {
        const std::string line = lineFrom(p);
        say(p, "#0ab\ncd");
        if (connection == 0) {
            p.close(); // the block's end
        } else {
            p.waitClosed(); // silence: the time-out ends it
        }
    });
    ASSERT_EQ(m_lib->vb_itimeout(id, 300), 0);
    ASSERT_EQ(write(id, "A?\n"), 0);
    const Reply whole = read(id, 1000);
    EXPECT_EQ(whole.error, 0);
    EXPECT_EQ(whole.data, "#0ab\ncd");
    EXPECT_EQ(whole.reason, sicl::reason::kEnd);
    EXPECT_EQ(read(id, 10).error, kConnectionLost); // the peer is gone
    ASSERT_EQ(m_lib->vb_iclear(id), 0);
    ASSERT_EQ(write(id, "A?\n"), 0);
    const auto start = Clock::now();
    const Reply silent = read(id, 1000);
    EXPECT_EQ(silent.error, library::liberr::kIoTimeout);
    EXPECT_EQ(silent.data, "#0ab\ncd");
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST_F(SocketSessionTest, ATricklingPeerIsBoundedByTheTimeOut) {
    const auto id = open([&](Peer& p, int) {
        for (char c = 'a'; c <= 'z' && !m_stop; ++c) {
            say(p, std::string(1, c)); // never an LF
            std::this_thread::sleep_for(100ms);
        }
    });
    ASSERT_EQ(m_lib->vb_itimeout(id, 700), 0);
    const auto start = Clock::now();
    const Reply r = read(id, 100);
    EXPECT_EQ(r.error, library::liberr::kIoTimeout);
    EXPECT_LT(Clock::now() - start, 3s); // the time-out and a generous margin
    EXPECT_GE(r.data.size(), 1u);
    EXPECT_EQ(r.data, std::string("abcdefghijklmnopqrstuvwxyz").substr(0, r.data.size()));
}

TEST_F(SocketSessionTest, WithoutATerminatorReadsEndAtTheCountOrTheTimeOut) {
    start([](Peer& p, int) {
        say(p, "ab\ncd\n");
        p.waitClosed();
    });
    library::Library::Options options;
    library::Library::Transports transports;
    transports[static_cast<std::size_t>(library::Resource::Kind::Socket)] =
        std::make_unique<rawsocket::SocketTransport>(options,
                                                     rawsocket::SocketOptions{std::nullopt, true});
    m_lib = std::make_unique<library::Library>(options, std::move(transports));
    const auto id = m_lib->vb_iopen(resource());
    ASSERT_EQ(m_lib->vb_itimeout(id, 200), 0);
    const Reply counted = read(id, 4);
    EXPECT_EQ(counted.data, "ab\nc");
    EXPECT_EQ(counted.reason, kReasonReqCnt);
    const Reply rest = read(id, 100);
    EXPECT_EQ(rest.error, library::liberr::kIoTimeout);
    EXPECT_EQ(rest.data, "d\n");
}

TEST_F(SocketSessionTest, APeerClosingMidBlockIsLostUntilAClearReconnects) {
    const auto id = open([&](Peer& p, int connection) {
        if (connection == 0) {
            say(p, "#3100" + std::string(50, 'x'));
            p.close();
        } else if (lineFrom(p) == "*IDN?\n") {
            say(p, "AGAIN\n");
        }
    });
    const Reply cut = read(id, 1000);
    EXPECT_EQ(cut.error, kConnectionLost);
    EXPECT_EQ(cut.data.size(), 55u);
    EXPECT_EQ(write(id, "*IDN?\n"), kConnectionLost);
    EXPECT_EQ(read(id, 10).error, kConnectionLost);
    ASSERT_EQ(m_lib->vb_iclear(id), 0);
    ASSERT_EQ(write(id, "*IDN?\n"), 0);
    EXPECT_EQ(read(id, 100).data, "AGAIN\n");
}

TEST_F(SocketSessionTest, ClearLeavesNoStaleBytes) {
    const auto id = open([&](Peer& p, int connection) {
        if (connection == 0) {
            say(p, "OLD1\nOLD2\n#19ab");
            p.waitClosed();
        } else if (lineFrom(p) == "*IDN?\n") {
            say(p, "NEW\n");
        }
    });
    ASSERT_EQ(m_lib->vb_itimeout(id, 2000), 0);
    EXPECT_EQ(read(id, 100).data, "OLD1\n"); // the rest is kept, in the middle of a block
    ASSERT_EQ(m_lib->vb_iclear(id), 0);
    ASSERT_EQ(write(id, "*IDN?\n"), 0);
    EXPECT_EQ(read(id, 100).data, "NEW\n");
    EXPECT_EQ(m_connections, 2);
}

TEST_F(SocketSessionTest, StatusByteAndTriggerAreCommandsOnTheWire) {
    const auto id = open([&](Peer& p, int) {
        int queries = 0;
        for (std::string line = lineFrom(p); !line.empty(); line = lineFrom(p)) {
            if (line != "*STB?\n") {
                say(p, "heard " + line);
            } else {
                say(p, ++queries == 1 ? " +72\r\n" : "ERR\n");
            }
        }
    });
    std::int16_t stb = 0;
    EXPECT_EQ(m_lib->vb_ireadstb(id, stb), 0);
    EXPECT_EQ(stb, 72);
    EXPECT_EQ(m_lib->vb_itrigger(id), 0);
    EXPECT_EQ(read(id, 100).data, "heard *TRG\n");
    EXPECT_EQ(m_lib->vb_ireadstb(id, stb), library::liberr::kBadStatusReply);
}

TEST_F(SocketSessionTest, OperationsAStreamLacksAreNotSupported) {
    const auto id = open([](Peer& p, int) { p.waitClosed(); });
    std::int16_t status = 0;
    for (const int error :
         {m_lib->vb_ilock(id), m_lib->vb_ilockshared(id, "k"), m_lib->vb_iunlock(id),
          m_lib->vb_iremote(id), m_lib->vb_ilocal(id), m_lib->vb_igpibbusstatus(id, 1, status),
          m_lib->vb_igpibrenctl(id, 1), m_lib->vb_igpibatnctl(id, 1),
          m_lib->vb_igpibsendcmd(id, "?", 1), m_lib->vb_iwaitsrq(id, 10)}) {
        EXPECT_EQ(error, library::liberr::kNotSupported);
    }
}

TEST_F(SocketSessionTest, AWriteCutShortByTheTimeOutCountsWhatWent) {
    std::promise<void> done;
    const auto id = open([&](Peer&, int) { done.get_future().wait(); }); // never reads
    ASSERT_EQ(m_lib->vb_itimeout(id, 300), 0);
    const std::string big(64 << 20, 'x');
    std::int32_t sent = 0;
    EXPECT_EQ(write(id, big, &sent), library::liberr::kIoTimeout);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<std::int32_t>(big.size()));
    done.set_value();
}
