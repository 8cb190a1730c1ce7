#include "net/WaitAny.h"
#include "net/Listeners.h"
#include "net/PartialIo.h"
#include "net/TcpConnection.h"
#include "net/TransportError.h"
#include "support/RawConnection.h"

#include <gtest/gtest.h>

#include <array>

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

TEST(PartialIo, SendNowTakesWhatTheSocketTakesAndNeverWaits) {
    Pair p;
    // Far more than loopback socket buffers hold while nobody reads.
    const std::vector<std::uint8_t> big(64 << 20, 0x5A);
    std::size_t at = 0;
    for (;;) {
        // Two pieces, as a header and its payload go.
        const std::span<const std::uint8_t> rest = std::span(big).subspan(at);
        const std::span<const std::uint8_t> pieces[] = {rest.first(16), rest.subspan(16)};
        const std::size_t n = sendNow(p.client, SocketOps::system(), pieces);
        if (n == 0) {
            break; // full: sendNow returns instead of waiting
        }
        at += n;
    }
    EXPECT_GT(at, 0u);
    EXPECT_LT(at, big.size());
}
