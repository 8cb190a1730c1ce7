#include "library/LibraryError.h"
#include "net/Interrupt.h"
#include "net/Listeners.h"
#include "net/Resolver.h"
#include "net/TcpConnection.h"
#include "support/RawConnection.h"
#include "vxi11/client/ScriptServer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>

using namespace vxi11;
using namespace library;
using namespace net;
using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::Peer;
using testsupport::ScriptServer;

namespace {

const std::uint32_t kLoopback = testsupport::loopback();

/// The library's error number for what `f` throws, 0 if nothing.
int failureOf(const std::function<void()>& f) {
    try {
        translated(f);
    } catch (const LibraryError& e) {
        return e.number();
    }
    return 0;
}

/// Receives exactly `out.size()` bytes.
void receiveExact(TcpConnection& c, std::span<std::uint8_t> out, Deadline deadline) {
    std::size_t got = 0;
    while (got < out.size()) {
        got += c.receiveSome(out.subspan(got), deadline);
    }
}

/// Socket calls that move one byte at a time, and can fail with a chosen errno.
class TrickleOps : public SocketOps {
public:
    int failSendWith = 0;
    ssize_t send(int fd, const void* data, std::size_t length) override {
        ++sends;
        if (failSendWith != 0) {
            errno = failSendWith;
            return -1;
        }
        return SocketOps::send(fd, data, length > 0 ? 1 : 0);
    }
    ssize_t sendv(int fd, const iovec* pieces, int count) override {
        ++sends;
        const iovec one{pieces[0].iov_base, count > 0 && pieces[0].iov_len > 0 ? 1u : 0u};
        return SocketOps::sendv(fd, &one, 1);
    }
    ssize_t recv(int fd, void* data, std::size_t length) override {
        return SocketOps::recv(fd, data, length > 0 ? 1 : 0);
    }
    int sends = 0;
};

} // namespace

TEST(Transport, RefusedConnectNamesThePeer) {
    const std::uint16_t port = testsupport::closedPort();
    try {
        translated([&] { TcpConnection::connect(kLoopback, port, Deadline::after(2s)); });
        FAIL() << "connected to a closed port";
    } catch (const LibraryError& e) {
        EXPECT_EQ(e.number(), liberr::kConnectionRefused);
        EXPECT_EQ(e.text(), "connection refused: 127.0.0.1:" + std::to_string(port));
    }
}

TEST(Transport, SilentPeerEndsReceiveAtTheDeadline) {
    ScriptServer server([](Peer& p) { p.waitClosed(); });
    auto c = TcpConnection::connect(kLoopback, server.port(), Deadline::after(2s));
    std::uint8_t buf[4];
    const auto start = Deadline::Clock::now();
    EXPECT_EQ(failureOf([&] { receiveExact(c, buf, Deadline::after(300ms)); }),
              liberr::kGatewayTimeout);
    const auto took = Deadline::Clock::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 2s);
}

TEST(Transport, AnInterruptEndsTheWaitInProgressAtOnceAndOnlyThatOne) {
    ScriptServer echo([](Peer& p) {
        while (auto record = p.readRecord()) {
            p.sendRecord(*record);
        }
    });
    auto c = TcpConnection::connect(kLoopback, echo.port(), Deadline::after(2s));
    std::uint8_t buf[8];
    interrupt::arm(); // as a program does before it may trigger
    auto blocked = std::async(std::launch::async, [&] {
        const auto start = Deadline::Clock::now();
        const int number = failureOf([&] { c.receiveSome(buf, Deadline::after(30s)); });
        return std::pair(number, Deadline::Clock::now() - start);
    });
    interrupt::trigger(); // before or during the wait: either way it ends
    const auto [number, took] = blocked.get();
    EXPECT_EQ(number, liberr::kInterrupted);
    EXPECT_LT(took, 5s);
    // That wait took the interrupt: the connection is as it was and the next wait runs.
    Bytes message;
    testsupport::put32(message, 0x80000004u);
    testsupport::put32(message, 0x01020304u);
    c.sendAll(message, Deadline::after(2s));
    Bytes back(message.size());
    receiveExact(c, back, Deadline::after(2s));
    EXPECT_EQ(back, message);
    // A trigger withdrawn before anyone waited ends nothing.
    interrupt::trigger();
    interrupt::reset();
    EXPECT_EQ(failureOf([&] { c.receiveSome(buf, Deadline::after(200ms)); }),
              liberr::kGatewayTimeout);
}

TEST(Transport, PeerClosingOrResettingMidMessageIsConnectionLost) {
    ScriptServer closing([](Peer& p) {
        p.sendRaw(Bytes{1, 2});
        p.close();
    });
    ScriptServer resetting([](Peer& p) {
        p.sendRaw(Bytes{1, 2});
        p.reset();
    });
    for (ScriptServer* s : {&closing, &resetting}) {
        // The reset may already have arrived when the connect completes; either way the
        // caller learns that the connection was lost.
        EXPECT_EQ(failureOf([&] {
                      auto c = TcpConnection::connect(kLoopback, s->port(), Deadline::after(2s));
                      std::uint8_t buf[4];
                      receiveExact(c, buf, Deadline::after(5s));
                  }),
                  liberr::kConnectionLost);
    }
}

TEST(Transport, ShortWritesAndOneByteReadsStillCarryEveryByte) {
    ScriptServer echo([](Peer& p) {
        while (auto record = p.readRecord()) {
            p.sendRecord(*record);
        }
    });
    TrickleOps ops;
    auto c = TcpConnection::connect(kLoopback, echo.port(), Deadline::after(2s), ops);
    Bytes message;
    testsupport::put32(message, 0x80000000u | 1000u);
    for (int i = 0; i < 1000; ++i) {
        message.push_back(static_cast<std::uint8_t>(i * 7));
    }
    c.sendAll(message, Deadline::after(5s));
    EXPECT_EQ(ops.sends, 1004);
    Bytes back(message.size());
    receiveExact(c, back, Deadline::after(5s));
    EXPECT_EQ(back, message);

    // Sent in pieces from where they lie, a byte at a time: the same bytes, in order.
    ops.sends = 0;
    const std::span<const std::uint8_t> all(message);
    c.sendAll({all.first(1), {}, all.subspan(1, 600), all.subspan(601)}, Deadline::after(5s));
    EXPECT_EQ(ops.sends, 1004);
    receiveExact(c, back, Deadline::after(5s));
    EXPECT_EQ(back, message);
}

TEST(Transport, SendResetIsConnectionLostAndClosedConnectionFailsAtOnce) {
    ScriptServer server([](Peer& p) { p.waitClosed(); });
    TrickleOps ops;
    ops.failSendWith = ECONNRESET;
    auto c = TcpConnection::connect(kLoopback, server.port(), Deadline::after(2s), ops);
    const Bytes data{1, 2, 3};
    EXPECT_EQ(failureOf([&] { c.sendAll(data, Deadline::after(1s)); }), liberr::kConnectionLost);
    c.close();
    std::uint8_t buf[1];
    EXPECT_EQ(failureOf([&] { receiveExact(c, buf, Deadline::never()); }), liberr::kConnectionLost);
}

TEST(Transport, ConnectToAFullBacklogEndsAtTheDeadline) {
    // A listener that never accepts, with its queue filled, drops further SYNs: the connect
    // can only end by its deadline.
    TcpListener listener = TcpListener::open("127.0.0.1", 0, 0);
    std::vector<TcpConnection> fillers;
    int result = 0;
    std::chrono::steady_clock::duration took{};
    for (int i = 0; i < 8 && result == 0; ++i) {
        const auto start = Deadline::Clock::now();
        result = failureOf([&] {
            fillers.push_back(
                TcpConnection::connect(kLoopback, listener.port(), Deadline::after(300ms)));
        });
        took = Deadline::Clock::now() - start;
    }
    listener.close();
    ASSERT_EQ(result, liberr::kGatewayTimeout);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 2s);
}

TEST(Transport, ResolverAnswersDottedTextItselfAndBoundsSlowLookups) {
    int calls = 0;
    const HostResolver counting = [&calls](const std::string&) -> std::vector<IpAddress> {
        ++calls;
        return {};
    };
    EXPECT_EQ(resolveHost("127.0.0.1", counting, Deadline::after(1s)),
              std::vector{IpAddress::fromIpv4(kLoopback)});
    EXPECT_EQ(resolveHost("::1", counting, Deadline::after(1s)),
              std::vector{IpAddress::ipv6Loopback()});
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(failureOf([&] { resolveHost("gatewayx", counting, Deadline::after(5s)); }),
              liberr::kHostNotFound);
    EXPECT_EQ(calls, 1);

    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> gate = release->get_future().share();
    const HostResolver stuck = [gate](const std::string&) -> std::vector<IpAddress> {
        gate.wait();
        return {};
    };
    const auto start = Deadline::Clock::now();
    EXPECT_EQ(failureOf([&] { resolveHost("slowname", stuck, Deadline::after(200ms)); }),
              liberr::kGatewayTimeout);
    EXPECT_LT(Deadline::Clock::now() - start, 2s);
    release->set_value();
}

TEST(Transport, SystemResolverFindsLocalhostInBothFamiliesWithoutTheNetwork) {
    const std::vector<IpAddress> found = systemResolve("localhost");
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found[0], IpAddress::fromIpv4(kLoopback));
    EXPECT_EQ(found[1], IpAddress::ipv6Loopback());
}
