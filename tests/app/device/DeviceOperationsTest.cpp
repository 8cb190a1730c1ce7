// Serial poll, device clear, trigger, lock, unlock and the Auto Lock modes.
#include "support/WindowFixture.h"

#include "app/device/DeviceOperations.h"

#include <QLabel>

#include <gmock/gmock.h>

#include <functional>

using ::testing::ElementsAre;

namespace {

class DeviceOperationsTest : public testsupport::WindowFixture {
protected:
    void SetUp() override {
        linkInstrument(QStringLiteral("9"));
        resetRecords();
        st.MsgSentFlg = 0; // the link itself counts as traffic
        ui.combCmd->setEditText(QStringLiteral("*stb?"));
    }

    bool lockShown() const { return ui.lbliLock->isVisibleTo(window.get()); }
};

TEST_F(DeviceOperationsTest, SerialPollShowsTheStatusByteSignSpaced) {
    lib.statusByte = 0;
    ui.cmdSpoll->click();
    EXPECT_EQ(resultText(), "Serial poll response =>  0");
    lib.statusByte = 65;
    ui.cmdSpoll->click();
    EXPECT_EQ(resultText(), "Serial poll response =>  65");
    EXPECT_EQ(ui.combCmd->currentText(), QStringLiteral("*stb?"));
    EXPECT_EQ(st.MsgSentFlg, 1);
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(DeviceOperationsTest, ClearAndTriggerNameThePrimaryAddressAndEmptyTheCommandBox) {
    ui.cmdSDC->click();
    EXPECT_EQ(resultText(), "Device Clear sent to device  9");
    EXPECT_EQ(ui.combCmd->currentText(), QString());
    ui.combCmd->setEditText(QStringLiteral("*TRG"));
    ui.cmdDT->click();
    EXPECT_EQ(resultText(), "Device Trigger sent to device  9");
    EXPECT_EQ(ui.combCmd->currentText(), QString());
    EXPECT_EQ(lib.callsTo("vb_iclear").at(0).args, std::vector<std::int64_t>{st.hDev});
    EXPECT_EQ(lib.callsTo("vb_itrigger").at(0).args, std::vector<std::int64_t>{st.hDev});
}

TEST_F(DeviceOperationsTest, SecondaryAddressIsLeftOutOfTheMessages) {
    linkInstrument(QStringLiteral("905"));
    ui.cmdDT->click();
    EXPECT_EQ(resultText(), "Device Trigger sent to device  9");
    ui.cmdLock->click();
    EXPECT_EQ(resultText(), "Device  9 locked");
}

struct FailureCase {
    const char* name;
    const char* entry;
    std::function<void(DeviceOperations&)> run;
    const char* label;
};

class DeviceOperationFailureTest : public DeviceOperationsTest,
                                   public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DeviceOperationFailureTest, ReportsUnderItsLabelAndChangesNothingElse) {
    const FailureCase& c = GetParam();
    ui.txtResults->setText(QStringLiteral("before"));
    lib.failNext(c.entry, 8, "operation not supported");
    c.run(window->deviceOperations());
    EXPECT_EQ(errorText(), std::string(c.label) + "\r\noperation not supported - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.MsgSentFlg, 0);
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_FALSE(lockShown());
    // Lock and unlock leave the response box as it was; the others had emptied it first.
    const bool keepsResults =
        std::string(c.entry) == "vb_ilock" || std::string(c.entry) == "vb_iunlock";
    EXPECT_EQ(resultText(), keepsResults ? "before" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Members, DeviceOperationFailureTest,
    ::testing::Values(
        FailureCase{"SerialPoll", "vb_ireadstb", [](DeviceOperations& d) { d.cmdSpoll_Click(); },
                    "Read Status Byte error"},
        FailureCase{"DeviceClear", "vb_iclear", [](DeviceOperations& d) { d.cmdSDC_Click(); },
                    "Device Clear error"},
        FailureCase{"DeviceTrigger", "vb_itrigger", [](DeviceOperations& d) { d.cmdDT_Click(); },
                    "Device Trigger error"},
        FailureCase{"Lock", "vb_ilock", [](DeviceOperations& d) { d.cmdLock_Click(); },
                    "Lock error"},
        FailureCase{"Unlock", "vb_iunlock", [](DeviceOperations& d) { d.cmdUnlock_Click(); },
                    "Unlock error"}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

TEST_F(DeviceOperationsTest, LockAndUnlockKeepTheIndicatorAndSendlock) {
    ui.cmdLock->click();
    EXPECT_EQ(resultText(), "Device  9 locked");
    EXPECT_TRUE(lockShown());
    EXPECT_EQ(st.Sendlock, 1);
    EXPECT_EQ(st.MsgSentFlg, 1);
    ui.cmdUnlock->click();
    EXPECT_EQ(resultText(), "Device  9 unlocked");
    EXPECT_FALSE(lockShown());
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(DeviceOperationsTest, CheckingAutoLockWhileLockedUndoesItself) {
    ui.cmdLock->click();
    lib.clearCalls();
    ui.ckAutoLock->setChecked(true);
    EXPECT_FALSE(ui.ckAutoLock->isChecked());
    EXPECT_TRUE(ui.cmdLock->isEnabled());
    EXPECT_TRUE(ui.cmdUnlock->isEnabled());
    ui.cmdUnlock->click();
    ui.ckAutoLock->setChecked(true);
    EXPECT_TRUE(ui.ckAutoLock->isChecked());
    EXPECT_FALSE(ui.cmdLock->isEnabled());
    EXPECT_FALSE(ui.cmdUnlock->isEnabled());
    EXPECT_THAT(lib.entries(), ElementsAre("vb_iunlock")); // the box itself calls nothing
}

TEST_F(DeviceOperationsTest, UncheckingAutoLockDoesNotUnlock) {
    ui.ckAutoLock->setChecked(true);
    // A failed write leaves the lock that Auto Lock took before it.
    lib.failNext("vb_iwrite", 15, "I/O timeout");
    ui.combCmd->setEditText(QStringLiteral("*RST"));
    ui.cmdSend->click();
    ASSERT_TRUE(lockShown());
    lib.clearCalls();
    ui.ckAutoLock->setChecked(false);
    EXPECT_TRUE(ui.cmdLock->isEnabled());
    EXPECT_TRUE(ui.cmdUnlock->isEnabled());
    EXPECT_TRUE(lib.calls.empty());
    EXPECT_TRUE(lockShown());
}

TEST_F(DeviceOperationsTest, AReadAfterAManualLockFreesAutoLockButKeepsTheIndicator) {
    ui.cmdLock->click();
    lib.queueRead("1\n");
    ui.cmdRead->click();
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_TRUE(lockShown());
    ui.ckAutoLock->setChecked(true);
    EXPECT_TRUE(ui.ckAutoLock->isChecked());
}

TEST_F(DeviceOperationsTest, FailingUnlockLeavesTheLockAsItWas) {
    ui.cmdLock->click();
    lib.failNext("vb_iunlock", 3, "device not locked");
    ui.cmdUnlock->click();
    EXPECT_EQ(errorText(), "Unlock error\r\ndevice not locked - Retry");
    EXPECT_TRUE(lockShown());
    EXPECT_EQ(st.Sendlock, 1);
    EXPECT_EQ(resultText(), "Device  9 locked");
}

TEST_F(DeviceOperationsTest, SendlockOutlivesANewInstrumentLink) {
    ui.cmdLock->click();
    linkInstrument(QStringLiteral("9"));
    EXPECT_EQ(st.Sendlock, 1);
    // So the lock that was not undone still keeps Auto Lock off.
    ui.ckAutoLock->setChecked(true);
    EXPECT_FALSE(ui.ckAutoLock->isChecked());
}

using DeviceOperationsUnlinkedTest = testsupport::WindowFixture;

TEST_F(DeviceOperationsUnlinkedTest, PollClearAndTriggerRefuseWithoutCallingTheLibrary) {
    DeviceOperations& ops = window->deviceOperations();
    for (auto run : {&DeviceOperations::cmdSpoll_Click, &DeviceOperations::cmdSDC_Click,
                     &DeviceOperations::cmdDT_Click}) {
        resetRecords();
        ui.combCmd->setEditText(QStringLiteral("*idn?"));
        (ops.*run)();
        EXPECT_EQ(resultText(), "No devices linked. Select and link to a device");
        EXPECT_FALSE(ui.txtError->isHidden());
        EXPECT_EQ(beeps.count, 1);
        EXPECT_TRUE(lib.calls.empty());
        // Clear and trigger empty the command box before the link check; poll leaves it.
        EXPECT_EQ(ui.combCmd->currentText().isEmpty(), run != &DeviceOperations::cmdSpoll_Click);
    }
}

TEST_F(DeviceOperationsUnlinkedTest, LockWithoutLinkIsTheLibrarysFailure) {
    resetRecords();
    lib.failAlways("vb_ilock", 4, "invalid INST");
    window->deviceOperations().cmdLock_Click();
    EXPECT_EQ(lib.callsTo("vb_ilock").at(0).args, std::vector<std::int64_t>{0});
    EXPECT_EQ(errorText(), "Lock error\r\ninvalid INST - Retry");
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_FALSE(ui.lbliLock->isVisibleTo(window.get()));
}

} // namespace
