// Send, read and the device operations against the gateway simulator over VXI-11.
#include "app/device/RoadFixture.h"

#include <QTest>

namespace {

using DeviceRoadTest = roadtest::RoadFixture;

TEST_F(DeviceRoadTest, IdnQueryWithEnterShowsTheIdentity) {
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    QTest::keyClick(ui().combCmd, Qt::Key_Return);
    EXPECT_EQ(results(), roadtest::kIdentity);
    EXPECT_TRUE(ui().txtError->isHidden()) << ui().txtError->text().toStdString();
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(DeviceRoadTest, SerialPollAfterAQueryShowsMessageAvailable) {
    ui().ckAutoQuery->setChecked(false);
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    ui().cmdSend->click();
    ui().cmdSpoll->click();
    EXPECT_EQ(results(), "Serial poll response =>  16"); // MAV
}

TEST_F(DeviceRoadTest, DeviceClearEmptiesTheOutputQueue) {
    ui().ckAutoQuery->setChecked(false);
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    ui().cmdSend->click();
    ASSERT_GT(sim->instrument(9)->outputQueueBytes, 0U);
    ui().cmdSDC->click();
    EXPECT_EQ(results(), "Device Clear sent to device  9");
    EXPECT_EQ(sim->instrument(9)->outputQueueBytes, 0U);
    EXPECT_EQ(sim->instrument(9)->clearCount, 1U);
}

TEST_F(DeviceRoadTest, AutoLockHoldsTheGatewayLockOnlyDuringTheExchange) {
    ui().ckAutoLock->setChecked(true);
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    ui().cmdSend->click();
    EXPECT_EQ(results(), roadtest::kIdentity);
    EXPECT_FALSE(sim->lockHolder("gpib0,9").has_value());
    ui().ckAutoLock->setChecked(false);
    ui().cmdLock->click();
    EXPECT_TRUE(sim->lockHolder("gpib0,9").has_value());
    ui().cmdUnlock->click();
    EXPECT_FALSE(sim->lockHolder("gpib0,9").has_value());
}

} // namespace
