// Addresses and deadlines as the transports combine them: literals of both families, a host's
// several addresses tried in turn, and the earlier of two deadlines.

#include "net/Deadline.h"
#include "net/IpAddress.h"
#include "net/Listeners.h"
#include "net/TcpConnection.h"
#include "net/TransportError.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

using namespace net;
using namespace std::chrono_literals;

TEST(Address, LiteralsOfBothFamiliesAndZonesReadAndPrintBack) {
    const auto v4 = parseIpLiteral("127.0.0.1");
    ASSERT_TRUE(v4);
    EXPECT_FALSE(v4->v6);
    EXPECT_EQ(v4->ipv4(), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(v4->hostText(), "127.0.0.1");
    const auto v6 = parseIpLiteral("::1");
    ASSERT_TRUE(v6);
    EXPECT_EQ(*v6, IpAddress::ipv6Loopback());
    EXPECT_EQ(v6->hostText(), "[::1]");
    // A zone by number, and by the name of an interface every machine has.
    const auto byIndex = parseIpLiteral("fe80::1%1");
    ASSERT_TRUE(byIndex);
    EXPECT_EQ(byIndex->scope, 1u);
    const auto byName = parseIpLiteral("fe80::1%lo");
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName->scope, ::if_nametoindex("lo"));
    EXPECT_EQ(byName->text(), "fe80::1%lo");
    for (const char* bad : {"", "gateway", "1.2.3", "::g", "fe80::1%", "fe80::1%nosuchif0", "[::1]",
                            "127.0.0.1%lo"}) {
        EXPECT_FALSE(parseIpLiteral(bad)) << bad;
    }
}

TEST(Address, AHostsAddressesAreTriedInTurnUntilOneAnswers) {
    TcpListener listener = TcpListener::open("127.0.0.1", 0, 4);
    std::uint16_t closedPort = 0;
    {
        const TcpListener gone = TcpListener::open("127.0.0.1", 0, 1);
        closedPort = gone.port();
    }
    // Nothing listens at ::1 on this port (or there is no IPv6): refused, so the next is tried.
    const std::vector<IpAddress> both{IpAddress::ipv6Loopback(),
                                      IpAddress::fromIpv4(htonl(INADDR_LOOPBACK))};
    const TcpConnection c = TcpConnection::connectAny(both, listener.port(), Deadline::after(2s));
    EXPECT_EQ(c.peerAddress(), both[1]);
    try {
        TcpConnection::connectAny({both[1]}, closedPort, Deadline::after(2s));
        ADD_FAILURE() << "connected to a closed port";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.kind(), TransportError::Kind::ConnectionRefused);
    }
}

TEST(Address, TheEarlierOfTwoDeadlinesWhicheverAsks) {
    const Deadline soon = Deadline::after(100ms);
    const Deadline late = Deadline::after(10s);
    for (const Deadline& d : {soon.earlier(late), late.earlier(soon)}) {
        EXPECT_LE(d.remaining(), 100ms);
        EXPECT_FALSE(d.isNever());
    }
    EXPECT_LE(Deadline::never().earlier(soon).remaining(), 100ms);
    EXPECT_LE(soon.earlier(Deadline::never()).remaining(), 100ms);
    EXPECT_TRUE(Deadline::never().earlier(Deadline::never()).isNever());
}
