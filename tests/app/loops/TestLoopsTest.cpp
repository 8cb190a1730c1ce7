// The query loop and the command loop: starting, stopping, one tick's passes and the halts.
#include "support/WindowFixture.h"

#include "app/device/CommandSend.h"
#include "app/loops/TestLoops.h"

#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTimer>

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

class TestLoopsTest : public testsupport::WindowFixture {
protected:
    void SetUp() override {
        linkInstrument(QStringLiteral("9"));
        resetRecords();
        st.MsgSentFlg = 0; // the link itself counts as traffic
    }

    TestLoops& loops() { return window->testLoops(); }
    void tick() { loops().Timer1_Timer(); }

    bool counterShown() const {
        return ui.txtCount->isVisibleTo(window.get()) && ui.lblCount->isVisibleTo(window.get());
    }
    bool timerRunning() const {
        return ui.Timer1->isActive() && ui.Timer1->interval() == TestLoops::kTickMs;
    }
    std::vector<std::string> operationNames() const {
        std::vector<std::string> out;
        for (const Call& c : lib.operations()) {
            out.push_back(c.entry);
        }
        return out;
    }
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const Call& c : lib.callsTo("vb_iwrite")) {
            out.push_back(c.text);
        }
        return out;
    }
};

TEST_F(TestLoopsTest, QueryLoopStartFillsTheCommandBoxAndStartsTheTimer) {
    ui.cmdIDNtst->click();
    EXPECT_EQ(ui.combCmd->currentText(), QStringLiteral("*idn?"));
    EXPECT_EQ(st.IDNTestFlg, 1);
    EXPECT_TRUE(timerRunning());
    EXPECT_FALSE(ui.cmdIDNtst->isEnabled());
    EXPECT_TRUE(ui.cmdIDNtstoff->isEnabled());
    EXPECT_TRUE(lib.calls.empty());
}

TEST_F(TestLoopsTest, CommandLoopRefusesAnEmptyBoxAndChangesNothing) {
    ui.combCmd->setEditText(QString());
    ui.cmdCmdtst->click();
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(resultText(),
              "No command specified.  Enter a command before starting the Command Loop");
    EXPECT_EQ(st.CMDloopFlg, 0);
    EXPECT_FALSE(ui.Timer1->isActive());
    EXPECT_TRUE(ui.cmdCmdtst->isEnabled());
    EXPECT_FALSE(ui.cmdCmdtstoff->isEnabled());
}

TEST_F(TestLoopsTest, CommandLoopRefusesTextWithoutAnEightBitForm) {
    ui.combCmd->setEditText(QString::fromUtf8("\xE2\x84\xA6"));
    ui.cmdCmdtst->click();
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(ui.txtResults->text(), CommandSend::notLatin1Message());
    EXPECT_EQ(st.CMDloopFlg, 0);
    EXPECT_FALSE(ui.Timer1->isActive());
}

TEST_F(TestLoopsTest, CommandLoopTakesBlanksForACommand) {
    ui.combCmd->setEditText(QStringLiteral("  "));
    ui.cmdCmdtst->click();
    EXPECT_EQ(st.CMDloopFlg, 1);
    EXPECT_TRUE(timerRunning());
    tick();
    EXPECT_THAT(writes(), ElementsAre("  \n"));
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(TestLoopsTest, TickWithBothLoopsWritesQueryThenCommandAndCountsOnce) {
    ui.cmdIDNtst->click();
    ui.combCmd->setEditText(QStringLiteral("*RST"));
    ui.cmdCmdtst->click();
    lib.queueRead("ACME,1000,0,1.0\n");
    tick();
    EXPECT_THAT(operationNames(), ElementsAre("vb_iwrite", "vb_iread", "vb_iwrite"));
    EXPECT_THAT(writes(), ElementsAre("*IDN?\n", "*RST\n"));
    EXPECT_EQ(lib.callsTo("vb_iwrite").at(0).args[2], 6);
    EXPECT_EQ(lib.callsTo("vb_iwrite").at(0).args[3], 1);
    EXPECT_EQ(st.LpCount, 1);
    EXPECT_EQ(ui.txtCount->text(), QStringLiteral("1"));
    EXPECT_TRUE(counterShown());
    // No waiting text while a loop runs: the box holds the answer.
    EXPECT_EQ(resultText(), "ACME,1000,0,1.0");
    EXPECT_EQ(st.MsgSentFlg, 1);
    EXPECT_TRUE(ui.txtError->isHidden());
}

TEST_F(TestLoopsTest, QueryPassUsesTheTerminatorsButAlwaysSendsUppercaseIdn) {
    ui.ckCR->setChecked(true);
    ui.ckLF->setChecked(false);
    ui.cmdIDNtst->click();
    lib.clearCalls();
    tick();
    EXPECT_THAT(writes(), ElementsAre("*IDN?\r"));
}

TEST_F(TestLoopsTest, StoppingOneLoopLeavesTheOtherCounting) {
    ui.cmdIDNtst->click();
    ui.cmdCmdtst->click();
    tick();
    ui.cmdIDNtstoff->click();
    EXPECT_TRUE(ui.cmdIDNtst->isEnabled());
    EXPECT_FALSE(ui.cmdIDNtstoff->isEnabled());
    EXPECT_TRUE(counterShown());
    EXPECT_TRUE(timerRunning());
    lib.clearCalls();
    tick();
    EXPECT_THAT(writes(), ElementsAre("*idn?\n"));
    EXPECT_EQ(ui.txtCount->text(), QStringLiteral("2"));

    ui.cmdCmdtstoff->click();
    EXPECT_FALSE(counterShown());
    EXPECT_EQ(st.LpCount, 0);
    EXPECT_FALSE(ui.Timer1->isActive());
    EXPECT_EQ(ui.Timer1->interval(), 0);
}

TEST_F(TestLoopsTest, WithoutAutoQueryNoPassReads) {
    ui.ckAutoQuery->setChecked(false);
    ui.cmdIDNtst->click();
    ui.cmdCmdtst->click();
    tick();
    EXPECT_THAT(operationNames(), ElementsAre("vb_iwrite", "vb_iwrite"));
}

TEST_F(TestLoopsTest, CommandPassReadsOnlyAfterAQuery) {
    ui.combCmd->setEditText(QStringLiteral("VOLT 2"));
    ui.cmdCmdtst->click();
    tick();
    ui.combCmd->setEditText(QStringLiteral("VOLT?"));
    tick();
    EXPECT_THAT(operationNames(), ElementsAre("vb_iwrite", "vb_iwrite", "vb_iread"));
}

TEST_F(TestLoopsTest, AutoLockWithoutAutoQueryLocksEveryPassAndNeverUnlocks) {
    ui.ckAutoLock->setChecked(true);
    ui.ckAutoQuery->setChecked(false);
    ui.cmdIDNtst->click();
    ui.cmdCmdtst->click();
    tick();
    tick();
    EXPECT_THAT(operationNames(), ElementsAre("vb_ilock", "vb_iwrite", "vb_ilock", "vb_iwrite",
                                              "vb_ilock", "vb_iwrite", "vb_ilock", "vb_iwrite"));
    EXPECT_EQ(st.Sendlock, 1);
}

TEST_F(TestLoopsTest, AutoLockWithAutoQueryUnlocksAfterTheRead) {
    ui.ckAutoLock->setChecked(true);
    ui.cmdIDNtst->click();
    tick();
    EXPECT_THAT(operationNames(), ElementsAre("vb_ilock", "vb_iwrite", "vb_iread", "vb_iunlock"));
    EXPECT_EQ(st.Sendlock, 0);
}

TEST_F(TestLoopsTest, WriteFailureHaltsBothLoopsWithStopButtonsStillEnabled) {
    ui.ckAutoLock->setChecked(true);
    ui.cmdIDNtst->click();
    ui.cmdCmdtst->click();
    tick();
    lib.clearCalls();
    lib.failNext("vb_iwrite", 15, "I/O timeout");
    tick();
    EXPECT_THAT(operationNames(), ElementsAre("vb_ilock", "vb_iwrite", "vb_iunlock"));
    // The loop's report carries its label only, never the library's text.
    EXPECT_EQ(errorText(), "Write error\r\n - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.IDNTestFlg, 0);
    EXPECT_EQ(st.CMDloopFlg, 0);
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_EQ(st.LpCount, 1); // not counted
    EXPECT_TRUE(counterShown());
    EXPECT_TRUE(timerRunning());
    EXPECT_TRUE(ui.cmdIDNtstoff->isEnabled());
    EXPECT_TRUE(ui.cmdCmdtstoff->isEnabled());

    // Ticks do nothing now.
    lib.clearCalls();
    tick();
    EXPECT_TRUE(lib.calls.empty());

    ui.cmdIDNtstoff->click();
    EXPECT_FALSE(counterShown());
    EXPECT_EQ(st.LpCount, 0);
    EXPECT_FALSE(ui.Timer1->isActive());
    EXPECT_TRUE(ui.cmdIDNtst->isEnabled());
    EXPECT_TRUE(ui.cmdCmdtstoff->isEnabled()); // its own button keeps its state
}

TEST_F(TestLoopsTest, WriteFailureInTheCommandPassHaltsBothLoopsAfterTheQueryPass) {
    ui.ckAutoLock->setChecked(true);
    ui.cmdIDNtst->click();
    ui.combCmd->setEditText(QStringLiteral("*RST"));
    ui.cmdCmdtst->click();
    lib.queueRead("ACME,1000,0,1.0\n");
    lib.onCall = [this](const Call& c) {
        if (c.entry == "vb_iwrite" && c.text == "*RST\n") {
            lib.failNext("vb_iwrite", 17, "I/O error");
        }
    };
    tick();
    EXPECT_THAT(operationNames(), ElementsAre("vb_ilock", "vb_iwrite", "vb_iread", "vb_iunlock",
                                              "vb_ilock", "vb_iwrite", "vb_iunlock"));
    EXPECT_EQ(errorText(), "Write error\r\n - Retry");
    EXPECT_FALSE(ui.txtError->isHidden()) << "still shown after the auto-unlock";
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.IDNTestFlg, 0);
    EXPECT_EQ(st.CMDloopFlg, 0);
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_EQ(st.LpCount, 0);
    EXPECT_FALSE(counterShown());
}

TEST_F(TestLoopsTest, ReadFailureIsTheReadsOwnAndTheLoopGoesOn) {
    ui.cmdIDNtst->click();
    lib.failNext("vb_iread", 15, "I/O timeout");
    tick();
    EXPECT_EQ(errorText(), "Read error\r\nI/O timeout - Retry");
    EXPECT_EQ(st.IDNTestFlg, 1);
    EXPECT_EQ(st.LpCount, 1);
}

TEST_F(TestLoopsTest, EmptyCommandBoxBeepsOnEveryTickWhileCounting) {
    ui.combCmd->setEditText(QStringLiteral("*CLS"));
    ui.cmdCmdtst->click();
    ui.combCmd->setEditText(QString());
    tick();
    tick();
    EXPECT_EQ(beeps.count, 2);
    EXPECT_EQ(errorText(), "Command box empty");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_TRUE(lib.operations().empty());
    EXPECT_EQ(ui.txtCount->text(), QStringLiteral("2"));
}

TEST_F(TestLoopsTest, WithoutInstrumentTheFirstWriteHaltsTheLoop) {
    st.hDev = 0;
    lib.failAlways("vb_iwrite", 4, "invalid INST");
    ui.cmdIDNtst->click();
    tick();
    EXPECT_EQ(lib.callsTo("vb_iwrite").at(0).args[1], 0);
    EXPECT_EQ(st.IDNTestFlg, 0);
    EXPECT_EQ(errorText(), "Write error\r\n - Retry");
}

TEST_F(TestLoopsTest, TickIsWiredToTheTimer) {
    ui.cmdIDNtst->click();
    ASSERT_TRUE(QMetaObject::invokeMethod(ui.Timer1, "timeout", Qt::DirectConnection));
    EXPECT_EQ(st.LpCount, 1);
}

} // namespace
