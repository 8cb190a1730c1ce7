// The window's whole road through the bridge: keys and clicks, the VXI-11 library, the bridge,
// and the simulator's AR488 adapter on loopback TCP in front of the demo bench.
#include "app/e2e/E2eFixture.h"
#include "support/LoopbackBridge.h"

namespace {

using Flavour = gateway::emulator::Flavour;

class BridgeRoad : public e2e::E2e {
protected:
    void SetUp() override {
        ASSERT_TRUE(road.start());
        server = QString::fromStdString(road.server());
        openWindow(lib);
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    testsupport::LoopbackBridge road{{Flavour::Ar488, false}};
};

TEST_F(BridgeRoad, LinkFindIdnPollClearTriggerLockAndBusStatusAllWork) {
    typeInto(ui().combSrvrs, server);
    press(ui().cmdLink);
    ASSERT_NE(st().hIntf, 0) << error();
    // The link ticks the ATN box; an adapter releases ATN after each command and cannot hold
    // it, which is said once, as what it is.
    EXPECT_EQ(error(), "Check ATN error\r\noperation not supported - Retry");
    EXPECT_EQ(beeps.count, 1);

    press(ui().cmdFindInst);
    ASSERT_EQ(error(), "");
    ASSERT_EQ(ui().combInst->count(), 3) << results();
    EXPECT_EQ(ui().combInst->itemText(0), QStringLiteral("3"));
    EXPECT_EQ(ui().combInst->itemText(1), QStringLiteral("9"));
    EXPECT_EQ(ui().combInst->itemText(2), QStringLiteral("22"));
    ui().combInst->setCurrentIndex(2);
    press(ui().cmdLinki);
    ASSERT_NE(st().hDev, 0) << error();

    enterCommand(QStringLiteral("*IDN?"));
    EXPECT_EQ(results(), e2e::kDmmIdentity);
    press(ui().cmdSpoll);
    EXPECT_EQ(results(), "Serial poll response =>  0");
    press(ui().cmdSDC);
    EXPECT_EQ(results(), "Device Clear sent to device  22");
    EXPECT_EQ(road.sim().instrument(22)->clearCount, 1u);
    press(ui().cmdDT);
    EXPECT_EQ(results(), "Device Trigger sent to device  22");
    EXPECT_EQ(road.sim().instrument(22)->triggerCount, 1u);
    press(ui().cmdLock);
    EXPECT_EQ(results(), "Device  22 locked");
    EXPECT_TRUE(road.gateway().lockHolder("gpib0,22").has_value());
    press(ui().cmdStatus);
    EXPECT_EQ(results(), "REN = 1\r\nSRQ = 0\r\nNDAC = 0");
    EXPECT_EQ(error(), "");
    EXPECT_EQ(beeps.count, 1) << "only the ATN box's";
}

} // namespace
