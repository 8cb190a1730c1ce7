// Send: the refusals, the terminators, the query path and the lock discipline around a write.
#include "support/WindowFixture.h"

#include "app/device/CommandSend.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <gmock/gmock.h>

#include <tuple>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

/// Entries of the calls that reach the device, in order (error queries left out).
std::vector<std::string> operationNames(const testsupport::FakeLibrary& lib) {
    std::vector<std::string> out;
    for (const Call& c : lib.operations()) {
        out.push_back(c.entry);
    }
    return out;
}

class CommandSendTest : public testsupport::WindowFixture {
protected:
    void SetUp() override {
        linkInstrument(QStringLiteral("9"));
        resetRecords();
        st.MsgSentFlg = 0; // the link itself counts as traffic
    }

    void send(const QString& command) {
        ui.combCmd->setEditText(command);
        ui.cmdSend->click();
    }

    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const Call& c : lib.callsTo("vb_iwrite")) {
            out.push_back(c.text);
        }
        return out;
    }
};

using CommandSendUnlinkedTest = testsupport::WindowFixture;

TEST_F(CommandSendUnlinkedTest, EnterWithoutInstrumentLinkRefusesBeepsAndCallsNothing) {
    resetRecords();
    ui.txtError->setText(QStringLiteral("earlier report"));
    ui.combCmd->setEditText(QStringLiteral("*idn?"));
    // Enter reaches Send although the Send button is still disabled.
    ASSERT_FALSE(ui.cmdSend->isEnabled());
    QTest::keyClick(ui.combCmd, Qt::Key_Return);

    EXPECT_EQ(ui.txtResults->text(), QStringLiteral("No devices found. Select and link a device"));
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(ui.txtError->text(), QStringLiteral("earlier report"));
    EXPECT_EQ(beeps.count, 1);
    EXPECT_TRUE(lib.calls.empty());
}

TEST_F(CommandSendTest, EnterSendsOnceAndLeavesTheListAlone) {
    ui.ckAutoQuery->setChecked(false);
    ui.combCmd->setEditText(QStringLiteral("VOLT 1"));
    const int listed = ui.combCmd->count();
    QTest::keyClick(ui.combCmd, Qt::Key_Return);

    EXPECT_THAT(writes(), ElementsAre("VOLT 1\n"));
    // A key that lands on the line edit reaches the box by propagation: still one send.
    QTest::keyClick(ui.combCmd->lineEdit(), Qt::Key_Enter);
    EXPECT_THAT(writes(), ElementsAre("VOLT 1\n", "VOLT 1\n"));
    EXPECT_EQ(ui.combCmd->count(), listed);
    EXPECT_EQ(ui.combCmd->currentText(), QStringLiteral("VOLT 1"));
}

TEST_F(CommandSendTest, OtherKeysDoNotSend) {
    ui.combCmd->setEditText(QStringLiteral("VOLT"));
    QTest::keyClick(ui.combCmd, Qt::Key_A);
    QTest::keyClick(ui.combCmd, Qt::Key_Tab);
    EXPECT_TRUE(writes().empty());
}

TEST_F(CommandSendTest, EmptyBoxIsRefusedWithBeepAndSendlockSet) {
    send(QString());
    EXPECT_EQ(resultText(), "Device command box empty, nothing sent to the device");
    EXPECT_EQ(beeps.count, 1);
    EXPECT_TRUE(lib.operations().empty());
    EXPECT_EQ(st.Sendlock, 1);
}

TEST_F(CommandSendTest, EmptyBoxWithAutoLockLeavesTheDeviceLocked) {
    ui.ckAutoLock->setChecked(true);
    send(QString());
    EXPECT_THAT(operationNames(lib), ElementsAre("vb_ilock"));
    EXPECT_EQ(resultText(), "Device command box empty, nothing sent to the device");
    EXPECT_TRUE(ui.lbliLock->isVisibleTo(window.get()));
    EXPECT_EQ(st.Sendlock, 1);
}

class TerminatorTest : public CommandSendTest,
                       public ::testing::WithParamInterface<std::tuple<bool, bool, std::string>> {};

TEST_P(TerminatorTest, CommandGoesOutWithChosenTerminatorsAndItsByteCount) {
    const auto& [cr, lf, expected] = GetParam();
    ui.ckCR->setChecked(cr);
    ui.ckLF->setChecked(lf);
    lib.clearCalls();
    send(QStringLiteral("OUTP ON"));

    const auto calls = lib.callsTo("vb_iwrite");
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].text, expected);
    // one, session, count, END on the last byte
    EXPECT_THAT(calls[0].args,
                ElementsAre(1, st.hDev, static_cast<std::int64_t>(expected.size()), 1));
    EXPECT_EQ(ui.txtResults->text(),
              QStringLiteral("Send String => ") + QString::fromLatin1(expected));
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_EQ(st.MsgSentFlg, 1);
    EXPECT_EQ(beeps.count, 0);
}

INSTANTIATE_TEST_SUITE_P(Terminators, TerminatorTest,
                         ::testing::Values(std::make_tuple(false, false, "OUTP ON"),
                                           std::make_tuple(true, false, "OUTP ON\r"),
                                           std::make_tuple(false, true, "OUTP ON\n"),
                                           std::make_tuple(true, true, "OUTP ON\r\n")));

TEST_F(CommandSendTest, BlanksOnlyAreACommand) {
    send(QStringLiteral("  "));
    EXPECT_THAT(writes(), ElementsAre("  \n"));
}

TEST_F(CommandSendTest, ALongCommandIsSentWhole) {
    ui.ckAutoQuery->setChecked(false);
    const QString command(40000, QLatin1Char('A'));
    send(command);
    ASSERT_EQ(ui.combCmd->currentText().size(), command.size());
    const auto calls = lib.callsTo("vb_iwrite");
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].text, std::string(40000, 'A') + "\n");
    EXPECT_EQ(calls[0].args[2], 40001);
}

TEST_F(CommandSendTest, EchoShowsATabAsATab) {
    ui.ckAutoQuery->setChecked(false);
    send(QStringLiteral("A\tB"));
    EXPECT_EQ(ui.txtResults->toPlainText(), QStringLiteral("Send String => A\tB\n"));
}

TEST_F(CommandSendTest, QueryWithAutoQueryReadsTheAnswer) {
    lib.queueRead("ACME,1000,0,1.0\n");
    send(QStringLiteral("*idn?"));
    EXPECT_THAT(operationNames(lib), ElementsAre("vb_iwrite", "vb_iread"));
    EXPECT_THAT(writes(), ElementsAre("*idn?\n"));
    EXPECT_EQ(resultText(), "ACME,1000,0,1.0");
    EXPECT_EQ(st.Sendlock, 0);
}

TEST_F(CommandSendTest, QueryWithoutAutoQueryOnlyWrites) {
    ui.ckAutoQuery->setChecked(false);
    send(QStringLiteral("*idn?"));
    EXPECT_THAT(operationNames(lib), ElementsAre("vb_iwrite"));
    EXPECT_EQ(resultText(), "Send String => *idn?\n");
}

TEST_F(CommandSendTest, AutoLockBracketsACommandAndEndsWithTheUnlockMessage) {
    ui.ckAutoLock->setChecked(true);
    send(QStringLiteral("*RST"));
    EXPECT_THAT(operationNames(lib), ElementsAre("vb_ilock", "vb_iwrite", "vb_iunlock"));
    EXPECT_EQ(resultText(), "Device  9 unlocked");
    EXPECT_FALSE(ui.lbliLock->isVisibleTo(window.get()));
    EXPECT_EQ(st.Sendlock, 0);
}

TEST_F(CommandSendTest, AutoLockLocksOnceAroundAQueryAndItsRead) {
    ui.ckAutoLock->setChecked(true);
    lib.queueRead("+1.5E+00\n");
    send(QStringLiteral("MEAS?"));
    EXPECT_THAT(operationNames(lib),
                ElementsAre("vb_ilock", "vb_iwrite", "vb_iread", "vb_iunlock"));
    EXPECT_EQ(resultText(), "+1.5E+00");
    EXPECT_EQ(st.Sendlock, 0);
}

TEST_F(CommandSendTest, FailingWriteReportsAndLeavesTheAutoLockInPlace) {
    ui.ckAutoLock->setChecked(true);
    lib.failNext("vb_iwrite", 15, "I/O timeout");
    send(QStringLiteral("*idn?"));
    EXPECT_THAT(operationNames(lib), ElementsAre("vb_ilock", "vb_iwrite"));
    EXPECT_EQ(errorText(), "Send error\r\nI/O timeout - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.Sendlock, 1);
    EXPECT_TRUE(ui.lbliLock->isVisibleTo(window.get()));
}

TEST_F(CommandSendTest, FailedAutoLockIsReportedThenHiddenBySuccessfulWrite) {
    ui.ckAutoLock->setChecked(true);
    lib.failNext("vb_ilock", 11, "locked by another link");
    ui.ckAutoQuery->setChecked(false);
    send(QStringLiteral("*RST"));
    EXPECT_EQ(beeps.count, 1); // the lock's own report
    EXPECT_THAT(writes(), ElementsAre("*RST\n"));
    EXPECT_TRUE(ui.txtError->isHidden());
}

TEST_F(CommandSendTest, Latin1CommandIsSentAsOneBytePerCharacter) {
    ui.ckAutoQuery->setChecked(false);
    send(QString::fromUtf8("DISP \xC2\xB5V\xC3\xBF"));
    const auto calls = lib.callsTo("vb_iwrite");
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].text, std::string("DISP \xB5V\xFF\n"));
    EXPECT_EQ(calls[0].args[2], 9);
}

TEST_F(CommandSendTest, CommandOutsideLatin1IsRefusedBeforeAnythingIsSent) {
    ui.ckAutoLock->setChecked(true);
    send(QString::fromUtf8("DISP \xE2\x84\xA6"));
    EXPECT_TRUE(lib.operations().empty());
    EXPECT_EQ(ui.txtResults->text(), CommandSend::notLatin1Message());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.Sendlock, 0);
}

TEST_F(CommandSendTest, TerminatorBoxesSetTheReadCharacterOnlyWhenChecked) {
    ui.ckCR->setChecked(true);
    ui.ckCR->setChecked(false);
    ui.ckLF->setChecked(false);
    ui.ckLF->setChecked(true);
    const auto calls = lib.callsTo("vb_itermchr");
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_THAT(calls[0].args, ElementsAre(st.hDev, 13));
    EXPECT_THAT(calls[1].args, ElementsAre(st.hDev, 10));
}

TEST_F(CommandSendTest, FailingTerminatorCallIsReported) {
    lib.failNext("vb_itermchr", 4, "invalid INST");
    ui.ckCR->setChecked(true);
    EXPECT_EQ(errorText(), "Termination character error\r\ninvalid INST - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
}

} // namespace
