// Create Link: the order of its events, the boxes whose handlers it runs, the time-out it
// applies, the default gateway, and its failure paths.
#include "app/links/ServerLink.h"
#include "support/WindowFixture.h"

#include <QLabel>
#include <QLineEdit>

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

class ServerLink : public testsupport::WindowFixture {
protected:
    /// Index of the first recorded call that matches, or -1.
    long indexOf(const Call& wanted) const {
        for (std::size_t i = 0; i < lib.calls.size(); ++i) {
            if (lib.calls[i] == wanted) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }
};

TEST_F(ServerLink, ClosesDeviceThenInterfaceBeforeOpeningTheNewLink) {
    linkInstrument("7");
    const auto oldIntf = st.hIntf;
    const auto oldDev = st.hDev;
    ui.lbliLock->setVisible(true);
    ui.combInst->addItem(QStringLiteral("7"));
    resetRecords();

    ui.combSrvrs->setEditText(QStringLiteral("gw2"));
    ui.cmdLink->click();

    const long closeDev = indexOf({"vb_iclose", {oldDev}, {}});
    const long closeIntf = indexOf({"vb_iclose", {oldIntf}, {}});
    const long open = indexOf({"vb_iopen", {}, "lan;vxi-11[gw2]:gpib"});
    ASSERT_GE(closeDev, 0);
    EXPECT_LT(closeDev, closeIntf);
    EXPECT_LT(closeIntf, open);
    EXPECT_EQ(st.hDev, 0);
    EXPECT_NE(st.hIntf, 0);
    EXPECT_NE(st.hIntf, oldIntf);
    EXPECT_TRUE(ui.lbliLock->isHidden());
    EXPECT_EQ(ui.combInst->count(), 0);
    EXPECT_TRUE(ui.combCmd->currentText().isEmpty());
    // Discovery has to run again before a new instrument link.
    EXPECT_FALSE(ui.cmdLinki->isEnabled());
    EXPECT_FALSE(ui.cmdSend->isEnabled());
    EXPECT_FALSE(ui.cmdLock->isEnabled());
}

TEST_F(ServerLink, TerminatorBoxesResetWhileTheOldDeviceSessionIsStillOpen) {
    linkInstrument("7");
    const auto oldDev = st.hDev;
    ui.ckLF->setChecked(false);
    ui.ckCR->setChecked(true);
    resetRecords();

    ui.cmdLink->click();

    // Setting LF again runs its handler, which sets the termination character on the old
    // device session before that session is closed.
    const long termchr = indexOf({"vb_itermchr", {oldDev, 10}, {}});
    const long closeDev = indexOf({"vb_iclose", {oldDev}, {}});
    ASSERT_GE(termchr, 0);
    EXPECT_LT(termchr, closeDev);
    EXPECT_FALSE(ui.ckCR->isChecked());
    EXPECT_TRUE(ui.ckLF->isChecked());
    EXPECT_FALSE(ui.ckAutoLock->isChecked());
    EXPECT_FALSE(ui.ckCR->isEnabled());
    EXPECT_FALSE(ui.ckLF->isEnabled());
    EXPECT_FALSE(ui.ckAutoQuery->isEnabled());
    EXPECT_FALSE(ui.ckByteCnt->isEnabled());
}

TEST_F(ServerLink, RunsTheRenAndAtnHandlersOnlyForBoxesThatChange) {
    // Start-up: REN checked, ATN unchecked. Only ATN changes, so only ATN is asserted.
    linkServer();
    EXPECT_TRUE(lib.callsTo("vb_igpibrenctl").empty());
    EXPECT_THAT(lib.callsTo("vb_igpibatnctl"),
                ElementsAre(Call{"vb_igpibatnctl", {st.hIntf, 1}, {}}));
    EXPECT_TRUE(ui.ckRen->isChecked());
    EXPECT_TRUE(ui.ckATN->isChecked());

    // Both already checked: a second link runs neither handler.
    resetRecords();
    linkServer();
    EXPECT_TRUE(lib.callsTo("vb_igpibrenctl").empty());
    EXPECT_TRUE(lib.callsTo("vb_igpibatnctl").empty());

    // The user released REN: the next link asserts it again on the new session.
    ui.ckRen->setChecked(false);
    resetRecords();
    linkServer();
    EXPECT_THAT(lib.callsTo("vb_igpibrenctl"),
                ElementsAre(Call{"vb_igpibrenctl", {st.hIntf, 1}, {}}));
    EXPECT_TRUE(lib.callsTo("vb_igpibatnctl").empty());
}

TEST_F(ServerLink, AppliesThreeSecondsToEveryNewSessionEvenWhenAlreadySelected) {
    linkServer();
    EXPECT_TRUE(ui.optTimeout[1]->isChecked());
    EXPECT_THAT(lib.callsTo("vb_itimeout"), ElementsAre(Call{"vb_itimeout", {st.hIntf, 3000}, {}}));
    EXPECT_EQ(st.MsgSentFlg, 1);

    resetRecords();
    st.MsgSentFlg = 0;
    linkServer();
    ASSERT_TRUE(ui.optTimeout[1]->isChecked());
    EXPECT_THAT(lib.callsTo("vb_itimeout"), ElementsAre(Call{"vb_itimeout", {st.hIntf, 3000}, {}}));
    EXPECT_EQ(st.MsgSentFlg, 1);

    // Another option chosen in between: the link selects "3 Sec" again.
    ui.optTimeout[3]->click();
    resetRecords();
    linkServer();
    EXPECT_TRUE(ui.optTimeout[1]->isChecked());
    EXPECT_FALSE(ui.optTimeout[3]->isChecked());
    EXPECT_THAT(lib.callsTo("vb_itimeout"), ElementsAre(Call{"vb_itimeout", {st.hIntf, 3000}, {}}));
}

TEST_F(ServerLink, EmptyServerBoxLinksToTheDefaultGatewayAndShowsIt) {
    ui.combSrvrs->setEditText(QString());
    ui.cmdLink->click();

    EXPECT_THAT(lib.callsTo("vb_iopen"),
                ElementsAre(Call{"vb_iopen", {}, "lan;vxi-11[127.0.0.1]:gpib"}));
    EXPECT_EQ(ui.combSrvrs->currentText(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(st.serverName, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(st.linkAddr, QStringLiteral("lan;vxi-11[127.0.0.1]:gpib"));
    EXPECT_EQ(resultText(), "Link created to server 127.0.0.1");
}

TEST_F(ServerLink, ServerTextGoesIntoTheAddressUntrimmed) {
    ui.combSrvrs->setEditText(QStringLiteral(" gw.lab "));
    ui.cmdLink->click();
    EXPECT_THAT(lib.callsTo("vb_iopen"),
                ElementsAre(Call{"vb_iopen", {}, "lan;vxi-11[ gw.lab ]:gpib"}));
    EXPECT_EQ(resultText(), "Link created to server  gw.lab ");
}

TEST_F(ServerLink, SuccessEnablesTheInterfaceControlsOnly) {
    linkServer();
    for (QWidget* w : std::initializer_list<QWidget*>{
             ui.cmdFindInst, ui.cmdIFC, ui.cmdStatus, ui.ckRen, ui.ckATN, ui.optTimeout[0],
             ui.optTimeout[1], ui.optTimeout[2], ui.optTimeout[3], ui.cmdLink}) {
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    }
    for (QWidget* w : std::initializer_list<QWidget*>{
             ui.cmdLinki, ui.cmdSend, ui.cmdRead, ui.cmdIDNtst, ui.cmdIDNtstoff, ui.cmdCmdtst,
             ui.cmdCmdtstoff, ui.cmdLock, ui.cmdUnlock, ui.cmdSDC, ui.cmdDT, ui.cmdSpoll, ui.ckCR,
             ui.ckLF, ui.ckAutoLock, ui.ckAutoQuery, ui.ckByteCnt}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }
    EXPECT_TRUE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(ServerLink, FailedOpenReportsAndLeavesEverythingDisabled) {
    ui.txtResults->setText(QStringLiteral("earlier result"));
    ui.combSrvrs->setEditText(QString());
    lib.failNext("vb_iopen", 12, "cannot connect to the gateway");
    ui.cmdLink->click();

    EXPECT_EQ(errorText(), "Create interface link error\r\ncannot connect to the gateway - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.hIntf, 0);
    EXPECT_EQ(st.hDev, 0);
    EXPECT_EQ(st.MsgSentFlg, 0);
    EXPECT_EQ(resultText(), "earlier result");
    EXPECT_TRUE(ui.combSrvrs->currentText().isEmpty()); // an empty box stays empty
    EXPECT_TRUE(st.serverName.isEmpty());
    EXPECT_EQ(st.linkAddr, QStringLiteral("lan;vxi-11[127.0.0.1]:gpib"));
    EXPECT_TRUE(lib.callsTo("vb_itimeout").empty());
    for (QWidget* w : std::initializer_list<QWidget*>{ui.cmdFindInst, ui.cmdIFC, ui.cmdStatus,
                                                      ui.ckRen, ui.ckATN, ui.optTimeout[1]}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }
    EXPECT_TRUE(ui.cmdLink->isEnabled());
}

TEST_F(ServerLink, FailedRelinkKeepsTheOptionsEnabledAndTheNamesOfTheOldLink) {
    linkServer(QStringLiteral("gw"));
    lib.failNext("vb_iopen", 12, "host not found");
    ui.combSrvrs->setEditText(QStringLiteral("nowhere"));
    ui.cmdLink->click();

    EXPECT_EQ(st.hIntf, 0);
    EXPECT_EQ(st.serverName, QStringLiteral("gw"));
    EXPECT_EQ(ui.combSrvrs->currentText(), QStringLiteral("nowhere"));
    EXPECT_TRUE(ui.optTimeout[0]->isEnabled());
    EXPECT_FALSE(ui.cmdFindInst->isEnabled());
}

TEST_F(ServerLink, FailingCloseOfTheOldDeviceSessionIsReportedAndItsIdDropped) {
    linkInstrument("7");
    const auto oldDev = st.hDev;
    const auto oldIntf = st.hIntf;
    // With ATN released, the new link runs the ATN handler too, which hides the error box.
    ui.ckATN->setChecked(false);
    resetRecords();
    lib.failNext("vb_iclose", 5, "link lost");

    ui.cmdLink->click();

    EXPECT_EQ(st.hDev, 0);
    EXPECT_NE(st.hIntf, 0);
    EXPECT_NE(st.hIntf, oldIntf);
    EXPECT_EQ(lib.callsTo("vb_iclose").size(), 2u);
    EXPECT_EQ(errorText(), "Close device link error\r\nlink lost - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(resultText(), "Link created to server gw");

    // The dropped id is never closed again: Exit closes the new interface session only.
    const auto newIntf = st.hIntf;
    resetRecords();
    ui.cmdExit->click();
    EXPECT_THAT(lib.callsTo("vb_iclose"), ElementsAre(Call{"vb_iclose", {newIntf}, {}}));
    EXPECT_NE(newIntf, oldDev);
}

TEST_F(ServerLink, FailingCloseOfTheOldInterfaceSessionDoesNotStopTheNewLink) {
    linkServer();
    const auto oldIntf = st.hIntf;
    resetRecords();
    lib.failNext("vb_iclose", 5, "link lost");

    ui.cmdLink->click();

    EXPECT_NE(st.hIntf, 0);
    EXPECT_NE(st.hIntf, oldIntf);
    EXPECT_EQ(errorText(), "Close interface link error\r\nlink lost - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
}

TEST_F(ServerLink, ServerNameOutsideLatin1IsRefusedWithoutALibraryCall) {
    ui.combSrvrs->setEditText(QStringLiteral("gateway-\u0416"));
    ui.cmdLink->click();

    EXPECT_TRUE(lib.callsTo("vb_iopen").empty());
    EXPECT_EQ(st.hIntf, 0);
    EXPECT_EQ(errorText(),
              "Create interface link error\r\nthe server name holds characters that cannot be "
              "sent - Retry");
    EXPECT_EQ(beeps.count, 1);
    EXPECT_FALSE(ui.cmdFindInst->isEnabled());
}

TEST_F(ServerLink, HidesTheOldReportAtOnce) {
    window->reporting().errorReport(QStringLiteral("Old error"), QStringLiteral("x"));
    ASSERT_FALSE(ui.txtError->isHidden());
    linkServer();
    EXPECT_TRUE(ui.txtError->isHidden());
}

} // namespace
