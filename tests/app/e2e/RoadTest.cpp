// The typical road and the link life cycle, driven with keys and clicks.
#include "app/e2e/E2eFixture.h"

#include <QLabel>
#include <QTimer>

namespace {

using e2e::E2e;

TEST_F(E2e, TypedServerFoundInstrumentAndIdnQueryWithEnterShowTheAnswer) {
    typeInto(ui().combSrvrs, server);
    press(ui().cmdLink);
    ASSERT_NE(st().hIntf, 0) << error();
    EXPECT_EQ(results(), "Link created to server " + server.toStdString());
    EXPECT_TRUE(ui().optTimeout[1]->isChecked()) << "3 Sec follows every server link";
    EXPECT_TRUE(sim->bus().atn) << "the link checked the ATN box, which asserts ATN";

    press(ui().cmdFindInst);
    ASSERT_EQ(error(), "");
    ASSERT_EQ(ui().combInst->count(), 4) << results(); // 3, 9, 14, 22
    // Pick 22 from the list with the arrow keys.
    ui().combInst->setFocus();
    for (int i = 0; i < 5 && ui().combInst->currentText() != QLatin1String("22"); ++i) {
        QTest::keyClick(ui().combInst, Qt::Key_Down);
    }
    ASSERT_EQ(ui().combInst->currentText(), QStringLiteral("22"));
    press(ui().cmdLinki);
    ASSERT_NE(st().hDev, 0) << error();
    EXPECT_EQ(results(), "Link created to instrument at " + server.toStdString() + ", 22, 0");

    enterCommand(QStringLiteral("*IDN?"));
    EXPECT_EQ(results(), e2e::kDmmIdentity) << "the DMM's CR LF is cut off";
    EXPECT_EQ(error(), "");
    EXPECT_EQ(beeps.count, 0);
    // Enter sent the typed bytes once, with the line feed of the checked LF box and END.
    const auto writes = ops.deviceWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::string(writes[0].data.begin(), writes[0].data.end()), "*IDN?\n");
    EXPECT_EQ(writes[0].ioTimeout, 3000u);
    EXPECT_EQ(sim->instrument(22)->lastCommand, "*IDN?");
    EXPECT_EQ(sim->instrument(22)->outputQueueBytes, 0u);

    press(ui().cmdExit);
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(sim->liveLinks(), 0u);
    const auto destroyed = sim->destroyedLinks();
    ASSERT_EQ(destroyed.size(), 2u);
    EXPECT_EQ(destroyed[0].device, "gpib0,22") << "the device session closes first";
    EXPECT_EQ(destroyed[1].device, "gpib0");
    EXPECT_TRUE(destroyed[0].byCall && destroyed[1].byCall);
}

TEST_F(E2e, SecondCreateLinkWhileLinkedReleasesBothLinksAndTheLock) {
    linkServer();
    linkInstrument(3);
    press(ui().cmdLock);
    ASSERT_TRUE(sim->lockHolder("gpib0,3").has_value());
    const auto firstInterface = lidOf("gpib0");

    press(ui().cmdLink);

    ASSERT_NE(st().hIntf, 0) << error();
    EXPECT_EQ(st().hDev, 0);
    EXPECT_EQ(results(), "Link created to server " + server.toStdString());
    const auto live = sim->links();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].device, "gpib0");
    EXPECT_NE(live[0].lid, firstInterface);
    EXPECT_FALSE(sim->lockHolder("gpib0,3").has_value());
    const auto destroyed = sim->destroyedLinks();
    ASSERT_EQ(destroyed.size(), 2u);
    EXPECT_EQ(destroyed[0].device, "gpib0,3");
    EXPECT_EQ(destroyed[1].device, "gpib0");
    EXPECT_TRUE(ui().lbliLock->isHidden());
    EXPECT_EQ(ui().combInst->count(), 0);
    EXPECT_FALSE(ui().cmdSend->isEnabled());
    EXPECT_FALSE(ui().cmdLinki->isEnabled()) << "discovery must run again first";
}

TEST_F(E2e, KeepAliveTimerProbesAnIdleLinkWithAnExtraDeviceLink) {
    linkServer();
    linkInstrument(22);
    const auto userLink = lidOf("gpib0,22");
    const auto destroyedBefore = sim->destroyedLinks().size();

    // The real timer, made fast: the first tick after the link only clears the activity mark,
    // the second finds the link idle and probes it.
    ui().Timer2->setInterval(100);
    const bool probed =
        QTest::qWaitFor([&] { return sim->destroyedLinks().size() > destroyedBefore; }, 10000);
    ui().Timer2->stop();

    ASSERT_TRUE(probed);
    const auto destroyed = sim->destroyedLinks();
    EXPECT_EQ(destroyed[destroyedBefore].device, "gpib0,22");
    EXPECT_NE(destroyed[destroyedBefore].lid, userLink);
    EXPECT_EQ(lidOf("gpib0,22"), userLink) << "the user's link stays";
    EXPECT_EQ(sim->liveLinks(), 2u);
    EXPECT_EQ(error(), "");
    EXPECT_TRUE(ui().lblKeepAliveMsg->isHidden());
    EXPECT_EQ(st().linkAddr.toStdString(), "lan;vxi-11[" + server.toStdString() + "]:gpib, 22");

    enterCommand(QStringLiteral("*IDN?"));
    EXPECT_EQ(results(), e2e::kDmmIdentity);
}

TEST_F(E2e, TriggerAndTheAtnBoxReachTheBus) {
    linkServer();
    linkInstrument(3);
    press(ui().cmdDT);
    EXPECT_EQ(results(), "Device Trigger sent to device  3");
    EXPECT_EQ(sim->instrument(3)->triggerCount, 1u);

    ASSERT_TRUE(sim->bus().atn);
    ui().ckATN->click();
    EXPECT_FALSE(sim->bus().atn);
    EXPECT_EQ(results(), "ATN deasserted");
    ui().ckATN->click();
    EXPECT_TRUE(sim->bus().atn);
    EXPECT_EQ(results(), "ATN Asserted");
    EXPECT_EQ(beeps.count, 0);
}

} // namespace
