// How ADDR and -s are read: IPv6 servers, and VISA resources of any interface handed to the
// library's grammar so that its reason reaches the user.

#include "cli/DeviceAddress.h"
#include "cli/Errors.h"

#include <gtest/gtest.h>

using namespace cli;

namespace {

std::string refusal(const std::function<void()>& f) {
    try {
        f();
    } catch (const UsageError& e) {
        return e.what();
    }
    return {};
}

} // namespace

TEST(DeviceAddress, ServersMayBeIpv6LiteralsBracketedForAPort) {
    for (const char* ok : {"[::1]:4000", "[::1]", "::1", "[fe80::1%eth0]:111", "gw:111", "gw"}) {
        EXPECT_EQ(refusal([&] { checkServer(ok); }), "") << ok;
    }
    for (const char* bad : {"[::1]4000", "[::1]:0", "[gw]:111", ":::x", ":111", "a b"}) {
        EXPECT_NE(refusal([&] { checkServer(bad); }), "") << bad;
    }
    EXPECT_EQ(libraryAddress("[::1]:4000", parseDeviceAddress("inst0")),
              "lan;vxi-11[[::1]:4000]:inst0");
}

TEST(DeviceAddress, AnyVisaResourceGetsTheLibrarysReason) {
    EXPECT_TRUE(parseDeviceAddress("TCPIP::[::1]::5025::SOCKET").visa);
    const std::string gpib = refusal([] { parseDeviceAddress("GPIB0::22::INSTR"); });
    EXPECT_NE(gpib.find("use TCPIP::GATEWAY::gpib0,PAD::INSTR"), std::string::npos) << gpib;
    const std::string port = refusal([] { parseDeviceAddress("TCPIP::h::40593"); });
    EXPECT_NE(port.find("::SOCKET"), std::string::npos) << port;
}
