#include "net/WaitAny.h"
#include "net/Interrupt.h"
#include "net/Listeners.h"
#include "net/PartialIo.h"
#include "net/TcpConnection.h"
#include "net/TransportError.h"
#include "support/RawConnection.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

using namespace net;
using namespace std::chrono_literals;

namespace {

/// Both ends of one loopback connection.
struct Pair {
    TcpListener listener = TcpListener::open("127.0.0.1", 0, 1);
    TcpConnection client =
        TcpConnection::connect(testsupport::loopback(), listener.port(), Deadline::after(5s));
    TcpConnection server =
        std::move(listener.accept(TcpListener::Mode::NonBlocking, Deadline::after(5s))->connection);
};

const std::uint8_t kByte[] = {0x42};

} // namespace

TEST(WaitAny, ReportsWhichConnectionIsReadyAndOnlyThatOne) {
    Pair a, b;
    const std::array<Watched, 3> watched{Watched{a.client.fd(), Watch::Readable},
                                         Watched{-1, Watch::Readable},
                                         Watched{b.client.fd(), Watch::Readable}};
    const auto start = Deadline::Clock::now();
    EXPECT_EQ(waitAny(watched, Deadline::after(50ms)), 0u);
    EXPECT_GE(Deadline::Clock::now() - start, 50ms);

    b.server.sendAll(kByte, Deadline::after(5s));
    EXPECT_EQ(waitAny(watched, Deadline::after(5s)), 0b100u);
    std::uint8_t got[4];
    EXPECT_EQ(receiveNow(b.client, SocketOps::system(), got), std::optional<std::size_t>(1));
    EXPECT_EQ(receiveNow(b.client, SocketOps::system(), got), std::nullopt); // nothing now

    const Watched writable{a.client.fd(), Watch::Writable};
    EXPECT_EQ(waitAny({&writable, 1}, Deadline::after({})), 1u);
}

TEST(WaitAny, AHangupWatchIgnoresBytesWaitingAndSeesTheClose) {
    Pair p;
    const Watched hangup{p.client.fd(), Watch::Hangup};
    p.server.sendAll(kByte, Deadline::after(5s));
    EXPECT_EQ(waitAny({&hangup, 1}, Deadline::after(50ms)), 0u);
    p.server.close();
    EXPECT_EQ(waitAny({&hangup, 1}, Deadline::after(5s)), 1u);
    std::uint8_t got[4];
    EXPECT_EQ(receiveNow(p.client, SocketOps::system(), got), std::optional<std::size_t>(1));
    EXPECT_THROW(receiveNow(p.client, SocketOps::system(), got), TransportError);
}

TEST(WaitAny, AnInterruptEndsTheWaitAsItEndsAConnectionsAndAListenersWait) {
    Pair a;
    const std::array<Watched, 1> watched{Watched{a.client.fd(), Watch::Readable}};
    const auto ends = [](const std::function<void()>& wait) {
        const auto start = Deadline::Clock::now();
        interrupt::trigger(); // taken by the wait below, whether it began already or not
        try {
            wait();
        } catch (const TransportError& e) {
            return e.kind() == TransportError::Kind::Interrupted &&
                   Deadline::Clock::now() - start < 5s;
        }
        return false;
    };
    EXPECT_TRUE(ends([&] { waitAny(watched, Deadline::after(30s)); }));
    TcpListener idle = TcpListener::open("127.0.0.1", 0, 1);
    EXPECT_TRUE(ends([&] { idle.accept(TcpListener::Mode::NonBlocking, Deadline::after(30s)); }));
    // Each wait took its interrupt: the next one runs to its deadline.
    EXPECT_EQ(waitAny(watched, Deadline::after(20ms)), 0u);
}
