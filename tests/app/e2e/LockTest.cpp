// Lock, Unlock and Auto Lock while a second client on the same gateway holds the device lock.
#include "app/e2e/E2eFixture.h"

#include <QLabel>

namespace {

using namespace std::chrono_literals;

class E2eLock : public e2e::E2e {
protected:
    void SetUp() override {
        E2e::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        linkServer();
        linkInstrument(22);
        ui().optTimeout[0]->click(); // a waiting lock gives up after 1 s
        const std::string address = "lan;vxi-11[" + server.toStdString() + "]:gpib,22";
        other = otherLib.vb_iopen(address);
        ASSERT_GT(other, 0);
        ASSERT_EQ(otherLib.vb_itimeout(other, 1000), 0);
    }

    void TearDown() override {
        if (other > 0) {
            otherLib.vb_iclose(other);
        }
        E2e::TearDown();
    }

    lan::LanLibrary otherLib;
    std::int16_t other = 0;
};

TEST_F(E2eLock, LockAndAutoLockWaitForTheOtherClientAndThenWork) {
    ASSERT_EQ(otherLib.vb_ilock(other), 0);
    const auto otherLid = sim->lockHolder("gpib0,22");
    ASSERT_TRUE(otherLid.has_value());

    press(ui().cmdLock);
    EXPECT_EQ(error(), "Lock error\r\ndevice locked by another link - Retry");
    EXPECT_TRUE(ui().lbliLock->isHidden());
    EXPECT_EQ(st().Sendlock, 0);
    EXPECT_EQ(beeps.count, 1);

    ui().ckAutoLock->click();
    ASSERT_TRUE(ui().ckAutoLock->isChecked());
    EXPECT_FALSE(ui().cmdLock->isEnabled());
    enterCommand(QStringLiteral("*IDN?"));
    // The lock fails and reports; the write then meets the same lock.
    EXPECT_EQ(error(), "Send error\r\ndevice locked by another link - Retry");
    EXPECT_EQ(beeps.count, 3);
    EXPECT_EQ(sim->lockHolder("gpib0,22"), otherLid);
    EXPECT_EQ(sim->instrument(22)->lastCommand, "");

    ASSERT_EQ(otherLib.vb_iunlock(other), 0);
    enterCommand(QStringLiteral("*IDN?"));
    EXPECT_EQ(error(), "");
    EXPECT_EQ(results(), e2e::kDmmIdentity);
    EXPECT_FALSE(sim->lockHolder("gpib0,22").has_value()) << "Auto Lock unlocks after the read";
}

TEST_F(E2eLock, ManualLockKeepsTheOtherClientOutUntilUnlock) {
    press(ui().cmdLock);
    ASSERT_EQ(error(), "");
    EXPECT_EQ(results(), "Device  22 locked");
    EXPECT_FALSE(ui().lbliLock->isHidden());
    EXPECT_EQ(sim->lockHolder("gpib0,22"), lidOf("gpib0,22"));

    EXPECT_EQ(otherLib.vb_ilock(other), 11) << "locked by another link";
    char text[256] = {};
    otherLib.vb_igeterrstr(otherLib.vb_igeterrno(), text);
    EXPECT_STREQ(text, "device locked by another link");

    // Auto Lock cannot be switched on over a manual lock.
    ui().ckAutoLock->click();
    EXPECT_FALSE(ui().ckAutoLock->isChecked());
    EXPECT_TRUE(ui().cmdUnlock->isEnabled());

    press(ui().cmdUnlock);
    EXPECT_EQ(results(), "Device  22 unlocked");
    EXPECT_TRUE(ui().lbliLock->isHidden());
    EXPECT_EQ(otherLib.vb_ilock(other), 0);
    EXPECT_EQ(otherLib.vb_iunlock(other), 0);
    EXPECT_EQ(beeps.count, 0);
}

} // namespace
