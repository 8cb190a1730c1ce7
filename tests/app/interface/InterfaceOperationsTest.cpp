// Bus status, interface clear and the ATN and REN boxes on the interface session.
#include "support/WindowFixture.h"

#include "app/interface/InterfaceOperations.h"
#include "app/loops/TestLoops.h"

#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

class InterfaceOperationsTest : public testsupport::WindowFixture {
protected:
    void SetUp() override {
        linkServer();
        resetRecords();
        st.MsgSentFlg = 0; // the link itself counts as traffic
    }

    std::vector<std::string> operationNames() const {
        std::vector<std::string> out;
        for (const Call& c : lib.operations()) {
            out.push_back(c.entry);
        }
        return out;
    }
};

TEST_F(InterfaceOperationsTest, BusStatusWithLinesReleasedShowsZeros) {
    lib.busStatus = [](sicl::SessionId, std::int16_t) -> std::int16_t { return 0; };
    ui.cmdStatus->click();
    EXPECT_EQ(resultText(), "REN = 0\r\nSRQ = 0\r\nNDAC = 0");
    const auto calls = lib.callsTo("vb_igpibbusstatus");
    ASSERT_EQ(calls.size(), 3U);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_THAT(calls[i].args, ElementsAre(st.hIntf, static_cast<std::int64_t>(i + 1)));
    }
    EXPECT_EQ(st.MsgSentFlg, 1);
}

TEST_F(InterfaceOperationsTest, BusStatusShowsAnyAssertedValueAsOne) {
    lib.busStatus = [](sicl::SessionId, std::int16_t request) -> std::int16_t {
        return request == 1 ? 4 : request == 2 ? -1 : 1;
    };
    ui.cmdStatus->click();
    EXPECT_EQ(resultText(), "REN = 1\r\nSRQ = 1\r\nNDAC = 1");
}

TEST_F(InterfaceOperationsTest, BusStatusFailureOnSrqKeepsTheRenLine) {
    lib.busStatus = [](sicl::SessionId, std::int16_t) -> std::int16_t { return 1; };
    lib.onCall = [this](const Call& c) {
        if (c.entry == "vb_igpibbusstatus" && c.args[1] == 2) {
            lib.failNext("vb_igpibbusstatus", 17, "I/O error");
        }
    };
    ui.cmdStatus->click();
    EXPECT_EQ(resultText(), "REN = 1");
    EXPECT_EQ(errorText(), "Read Status error\r\nI/O error - Retry");
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.MsgSentFlg, 0);
    EXPECT_EQ(lib.callsTo("vb_igpibbusstatus").size(), 2U);
}

TEST_F(InterfaceOperationsTest, IfcWithBoxesInPlaceSendsOnlyTheClear) {
    ASSERT_TRUE(ui.ckRen->isChecked());
    ui.ckATN->setChecked(false);
    resetRecords();
    ui.combCmd->setEditText(QStringLiteral("*idn?"));
    ui.cmdIFC->click();
    EXPECT_THAT(operationNames(), ElementsAre("vb_iclear"));
    EXPECT_EQ(lib.callsTo("vb_iclear").at(0).args, std::vector<std::int64_t>{st.hIntf});
    EXPECT_EQ(resultText(), "IFC Sent");
    EXPECT_EQ(ui.combCmd->currentText(), QString());
    EXPECT_EQ(st.MsgSentFlg, 0);
}

TEST_F(InterfaceOperationsTest, IfcSetsTheBoxesWhichTellTheBusThemselves) {
    ui.ckRen->setChecked(false);
    ui.ckATN->setChecked(true);
    resetRecords();
    ui.cmdIFC->click();
    EXPECT_THAT(operationNames(), ElementsAre("vb_iclear", "vb_igpibrenctl", "vb_igpibatnctl"));
    EXPECT_THAT(lib.callsTo("vb_igpibrenctl").at(0).args, ElementsAre(st.hIntf, 1));
    EXPECT_THAT(lib.callsTo("vb_igpibatnctl").at(0).args, ElementsAre(st.hIntf, 0));
    EXPECT_TRUE(ui.ckRen->isChecked());
    EXPECT_FALSE(ui.ckATN->isChecked());
    EXPECT_EQ(resultText(), "IFC Sent");
}

TEST_F(InterfaceOperationsTest, IfcGoesOnAfterABoxReportsItsOwnFailure) {
    ui.ckRen->setChecked(false);
    ui.ckATN->setChecked(false); // a change of ATN would start with clear error
    resetRecords();
    lib.failNext("vb_igpibrenctl", 17, "I/O error");
    ui.cmdIFC->click();
    EXPECT_EQ(errorText(), "Check REN error\r\nI/O error - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(resultText(), "IFC Sent");
}

TEST_F(InterfaceOperationsTest, FailedIfcStopsThereAndLeavesLoopsAndBoxes) {
    ui.ckRen->setChecked(false);
    st.IDNTestFlg = 1;
    resetRecords();
    lib.failNext("vb_iclear", 17, "I/O error");
    ui.cmdIFC->click();
    EXPECT_THAT(operationNames(), ElementsAre("vb_iclear"));
    EXPECT_EQ(errorText(), "Send IFC error\r\nI/O error - Retry");
    EXPECT_FALSE(ui.ckRen->isChecked());
    EXPECT_EQ(st.IDNTestFlg, 1);
}

TEST_F(InterfaceOperationsTest, IfcStopsRunningLoopsButKeepsTimerAndCount) {
    linkInstrument();
    TestLoops& loops = window->testLoops();
    loops.cmdIDNtst_Click();
    loops.cmdCmdtst_Click(); // the query loop's start left "*idn?" in the box
    loops.Timer1_Timer();
    loops.Timer1_Timer();
    ASSERT_EQ(st.LpCount, 2);

    ui.cmdIFC->click();
    EXPECT_EQ(st.IDNTestFlg, 0);
    EXPECT_EQ(st.CMDloopFlg, 0);
    EXPECT_TRUE(ui.cmdIDNtst->isEnabled());
    EXPECT_FALSE(ui.cmdIDNtstoff->isEnabled());
    EXPECT_TRUE(ui.cmdCmdtst->isEnabled());
    EXPECT_FALSE(ui.cmdCmdtstoff->isEnabled());
    EXPECT_FALSE(ui.txtCount->isVisibleTo(window.get()));
    EXPECT_FALSE(ui.lblCount->isVisibleTo(window.get()));
    EXPECT_EQ(st.LpCount, 2);
    EXPECT_TRUE(ui.Timer1->isActive());
    EXPECT_EQ(ui.Timer1->interval(), TestLoops::kTickMs);

    // The next loop counts on from the old value.
    loops.cmdIDNtst_Click();
    loops.Timer1_Timer();
    EXPECT_EQ(ui.txtCount->text(), QStringLiteral("3"));
}

TEST_F(InterfaceOperationsTest, AtnAndRenFollowTheirBoxes) {
    ASSERT_TRUE(ui.ckATN->isChecked()); // the server link checks both boxes
    ui.ckATN->setChecked(false);
    EXPECT_EQ(resultText(), "ATN deasserted");
    ui.ckATN->setChecked(true);
    EXPECT_EQ(resultText(), "ATN Asserted");
    ui.ckRen->setChecked(false);
    EXPECT_EQ(resultText(), "REN deasserted");
    ui.ckRen->setChecked(true);
    EXPECT_EQ(resultText(), "REN Asserted");
    EXPECT_THAT(operationNames(), ElementsAre("vb_igpibatnctl", "vb_igpibatnctl", "vb_igpibrenctl",
                                              "vb_igpibrenctl"));
    EXPECT_THAT(lib.callsTo("vb_igpibatnctl").at(0).args, ElementsAre(st.hIntf, 0));
    EXPECT_THAT(lib.callsTo("vb_igpibatnctl").at(1).args, ElementsAre(st.hIntf, 1));
    EXPECT_EQ(st.MsgSentFlg, 0);
}

TEST_F(InterfaceOperationsTest, FailedAtnKeepsTheBoxAsSet) {
    lib.failNext("vb_igpibatnctl", 17, "I/O error");
    ui.ckATN->setChecked(false);
    EXPECT_EQ(errorText(), "Check ATN error\r\nI/O error - Retry");
    EXPECT_EQ(beeps.count, 1);
    EXPECT_FALSE(ui.ckATN->isChecked());
}

using InterfaceOperationsUnlinkedTest = testsupport::WindowFixture;

TEST_F(InterfaceOperationsUnlinkedTest, AtnAndRenWithoutServerLinkOnlyHideTheErrorBox) {
    resetRecords();
    ui.txtError->setVisible(true);
    ui.ckATN->setChecked(true);
    EXPECT_TRUE(ui.txtError->isHidden());
    ui.ckRen->setChecked(false);
    EXPECT_TRUE(lib.calls.empty());
    EXPECT_TRUE(ui.ckATN->isChecked());
    EXPECT_EQ(resultText(), "");
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(InterfaceOperationsUnlinkedTest, StatusAndIfcWithoutServerLinkReportTheLibrarysFailure) {
    resetRecords();
    lib.failAlways("vb_igpibbusstatus", 4, "invalid INST");
    lib.failAlways("vb_iclear", 4, "invalid INST");
    window->interfaceOperations().cmdStatus_Click();
    EXPECT_EQ(errorText(), "Read Status error\r\ninvalid INST - Retry");
    window->interfaceOperations().cmdIFC_Click();
    EXPECT_EQ(errorText(), "Send IFC error\r\ninvalid INST - Retry");
    EXPECT_EQ(lib.callsTo("vb_iclear").at(0).args, std::vector<std::int64_t>{0});
    EXPECT_EQ(beeps.count, 2);
}

} // namespace
