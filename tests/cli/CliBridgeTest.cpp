// siclquill-cli through the bridge to the simulator's `++` adapter: the device and bus
// commands over VXI-11, the device commands over HiSLIP, and finding the instruments: by the
// listener search of an AR488, by serial polls on a Prologix, which has none.

#include "CliFixture.h"
#include "support/LoopbackBridge.h"

#include <thread>

namespace {

using clitest::Outcome;
using testsupport::BridgeCase;
using Flavour = gateway::emulator::Flavour;

class CliBridge : public clitest::CliTest, public ::testing::WithParamInterface<BridgeCase> {
protected:
    void SetUp() override { ASSERT_TRUE(road.start()); }

    /// Runs siclquill-cli -s BRIDGE `args`.
    Outcome cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"-s", road.server()});
        return program(std::move(args));
    }
    /// The instrument at `pad` over HiSLIP.
    std::string hislip(int pad) {
        return "TCPIP::127.0.0.1::hislip" + std::to_string(pad) + "," +
               std::to_string(road.gateway().hislipPort()) + "::INSTR";
    }

    testsupport::LoopbackBridge road{GetParam()};
};

TEST_P(CliBridge, DeviceCommandsReachTheInstrumentOverVxi11AndHislip) {
    for (const std::string& address : {std::string("22"), hislip(22)}) {
        const Outcome r = cli({"query", address, "*IDN?"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\n");
        EXPECT_EQ(cli({"spoll", address}).out, "status byte 0 (0x00)\n");
        EXPECT_EQ(cli({"lock", address}).out, "device locked\n") << address;
    }
    for (const std::string& address : {std::string("3"), hislip(3)}) {
        EXPECT_EQ(cli({"clear", address}).status, 0) << address;
        EXPECT_EQ(cli({"trigger", address}).status, 0) << address;
    }
    EXPECT_EQ(road.sim().instrument(3)->clearCount, 2u);
    // HiSLIP's trigger is answered by nothing: it may still be on its way.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (road.sim().instrument(3)->triggerCount < 2 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(road.sim().instrument(3)->triggerCount, 2u);
}

TEST_P(CliBridge, FindAndCensusListTheInstrumentsOnTheBus) {
    EXPECT_EQ(cli({"find"}).out, "3\n9\n22\n");
    const Outcome census = cli({"census"});
    EXPECT_EQ(census.status, 0) << census.err;
    EXPECT_NE(census.out.find("22\tOrvane Instruments,DM-6510"), std::string::npos) << census.out;
    EXPECT_NE(census.out.find("9\tQuenby Measurement"), std::string::npos) << census.out;
    if (GetParam().flavour == Flavour::Ar488) {
        // The adapter's own search tells a secondary address too.
        EXPECT_EQ(cli({"find", "--secondary"}).out, "3\n5,2\n9\n22\n");
        const Outcome secondary = cli({"census", "--secondary"});
        EXPECT_NE(secondary.out.find("5,2\tBrenholt Devices"), std::string::npos) << secondary.out;
    }
}

TEST_P(CliBridge, StatusTellsTheLinesTheFlavourHas) {
    const Outcome status = cli({"status"});
    if (GetParam().flavour == Flavour::Ar488) {
        EXPECT_EQ(status.status, 0) << status.err;
        EXPECT_NE(status.out.find("REN = 1\nSRQ = 0\nNDAC = 0\n"), std::string::npos) << status.out;
    } else {
        // A Prologix cannot tell REN: said so, and the lines it can tell are still shown.
        EXPECT_EQ(status.status, 0) << status.err;
        EXPECT_NE(status.out.find("REN = not supported\nSRQ = 0\nNDAC = 0\n"), std::string::npos)
            << status.out;
        const Outcome json = cli({"--json", "status"});
        EXPECT_NE(json.out.find("\"REN\":null"), std::string::npos) << json.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Adapters, CliBridge,
                         ::testing::Values(BridgeCase{Flavour::Ar488, false},
                                           BridgeCase{Flavour::Prologix, true}),
                         testsupport::bridgeCaseName);

} // namespace
