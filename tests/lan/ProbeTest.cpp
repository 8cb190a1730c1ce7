// What discovery asks a host, without a session: the name look-up and the portmapper's answer,
// against a scripted gateway on loopback.

#include "lan/Probe.h"
#include "library/LibraryError.h"
#include "vxi11/client/FakeGateway.h"
#include "vxi11/client/ScriptServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

using namespace std::chrono_literals;
namespace liberr = library::liberr;

TEST(Probe, ResolvesLiteralsAndLocalhostToIpv4) {
    const auto literal = lan::resolveHost("127.0.0.1", 1s);
    ASSERT_TRUE(literal);
    EXPECT_EQ(*literal.value, htonl(INADDR_LOOPBACK));
    const auto local = lan::resolveHost("localhost", 1s);
    ASSERT_TRUE(local) << local.errorText;
    EXPECT_EQ(*local.value, htonl(INADDR_LOOPBACK)) << "discovery walks IPv4: never ::1";
    const auto v6 = lan::resolveHost("::1", 1s);
    EXPECT_FALSE(v6);
    EXPECT_EQ(v6.errorNumber, liberr::kHostNotFound);
}

TEST(Probe, FindsTheCorePortOrSaysWhyNot) {
    testsupport::FakeGateway gw;
    const auto found = lan::findVxi11(htonl(INADDR_LOOPBACK), gw.port(), 2s);
    ASSERT_TRUE(found) << found.errorText;
    EXPECT_EQ(*found.value, gw.port()); // the fake serves its core channel on the same port

    std::uint16_t closedPort = 0;
    {
        testsupport::ScriptServer gone([](testsupport::Peer&) {});
        closedPort = gone.port();
    }
    const auto refused = lan::findVxi11(htonl(INADDR_LOOPBACK), closedPort, 2s);
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.errorNumber, liberr::kConnectionRefused);

    testsupport::ScriptServer silent([](testsupport::Peer& p) { p.waitClosed(); });
    const auto start = std::chrono::steady_clock::now();
    const auto timedOut = lan::findVxi11(htonl(INADDR_LOOPBACK), silent.port(), 300ms);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(timedOut.errorNumber, liberr::kGatewayTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}
