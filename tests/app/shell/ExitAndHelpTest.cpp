// Exit's close order and its failures; the help window opened by Help, F1 and a double-click.
#include "app/HelpWindow.h"
#include "support/WindowFixture.h"

#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

using Exit = testsupport::WindowFixture;

TEST_F(Exit, WithNoSessionEndsWithoutCallingTheLibrary) {
    ui.cmdExit->click();
    EXPECT_TRUE(lib.calls.empty());
    EXPECT_EQ(exits, 1);
}

TEST_F(Exit, ClosesTheDeviceSessionFirstThenTheInterfaceSession) {
    linkInstrument();
    const auto dev = st.hDev;
    const auto intf = st.hIntf;
    ui.lbliLock->setVisible(true);
    resetRecords();

    ui.cmdExit->click();

    EXPECT_THAT(lib.operations(),
                ElementsAre(Call{"vb_iclose", {dev}, {}}, Call{"vb_iclose", {intf}, {}}));
    EXPECT_TRUE(ui.lbliLock->isHidden());
    EXPECT_EQ(st.hDev, 0);
    EXPECT_EQ(exits, 1);
}

TEST_F(Exit, FailingCloseStillClosesTheOtherSessionAndEnds) {
    linkInstrument();
    const auto intf = st.hIntf;
    resetRecords();
    lib.failNext("vb_iclose", 5, "link lost");

    ui.cmdExit->click();

    EXPECT_EQ(lib.callsTo("vb_iclose").size(), 2u);
    EXPECT_EQ(lib.callsTo("vb_iclose").back(), (Call{"vb_iclose", {intf}, {}}));
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(beeps.count, 0) << "nothing is shown in a window that is going away";
}

TEST_F(Exit, FailingInterfaceCloseStillEnds) {
    linkServer();
    lib.failAlways("vb_iclose", 5, "link lost");
    ui.cmdExit->click();
    EXPECT_EQ(exits, 1);
}

TEST_F(Exit, NoTimerRunsAfterExit) {
    linkInstrument();
    ui.Timer1->start(250);
    ui.cmdExit->click();
    EXPECT_FALSE(ui.Timer1->isActive());
    EXPECT_FALSE(ui.Timer2->isActive());
    EXPECT_FALSE(window->isVisible());
}

using Help = testsupport::WindowFixture;

TEST_F(Help, ButtonOpensTheContentsInANonModalWindow) {
    ASSERT_EQ(window->helpWindow(), nullptr);
    ui.cmdHelp->click();

    HelpWindow* help = window->helpWindow();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_TRUE(help->isWindow());
    EXPECT_EQ(help->windowModality(), Qt::NonModal);
    EXPECT_EQ(help->currentPage(), QUrl(QStringLiteral("qrc:/help/index.html")));
    EXPECT_TRUE(help->browser()->toPlainText().contains(QStringLiteral("SICL Quill Help")));
    // The main window goes on working meanwhile.
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ui.cmdLink->click();
    EXPECT_NE(st.hIntf, 0);
    EXPECT_TRUE(lib.calls.size() > 0);
}

TEST_F(Help, SecondClickReusesTheOneHelpWindow) {
    ui.cmdHelp->click();
    HelpWindow* first = window->helpWindow();
    first->close();
    ui.cmdHelp->click();
    EXPECT_EQ(window->helpWindow(), first);
    EXPECT_TRUE(first->isVisible());
}

TEST_F(Help, ClosingTheMainWindowClosesTheHelpWindowToo) {
    // Otherwise the help window would keep the program running after the close box.
    ui.cmdHelp->click();
    ASSERT_TRUE(window->helpWindow()->isVisible());
    window->close();
    EXPECT_FALSE(window->helpWindow()->isVisible());
    EXPECT_TRUE(lib.calls.empty()) << "the close box runs none of Exit's closes";
}

TEST_F(Help, EscapeClosesTheHelpWindow) {
    ui.cmdHelp->click();
    HelpWindow* help = window->helpWindow();
    ASSERT_TRUE(help->isVisible());
    QTest::keyClick(help->browser(), Qt::Key_Escape);
    EXPECT_FALSE(help->isVisible());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(Help, F1ShowsTheSectionOfTheFocusedControl) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ui.cmdLink->setFocus();
    QTest::keyClick(window.get(), Qt::Key_F1);

    ASSERT_NE(window->helpWindow(), nullptr);
    EXPECT_EQ(window->helpWindow()->currentPage(),
              QUrl(QStringLiteral("qrc:/help/controls.html#cmdLink")));
}

TEST_F(Help, DoubleClickOnTheBackgroundShowsHelp) {
    QTest::mouseDClick(window.get(), Qt::LeftButton, Qt::NoModifier, QPoint(640, 10));
    ASSERT_NE(window->helpWindow(), nullptr);
    EXPECT_TRUE(window->helpWindow()->isVisible());
    EXPECT_EQ(exits, 0);
}

TEST(HelpPages, EveryLinkAndEveryControlAnchorResolves) {
    const QStringList pages{"index.html",    "controls.html",        "road.html",
                            "timeouts.html", "troubleshooting.html", "locks.html",
                            "simulator.html"};
    static const QRegularExpression href(QStringLiteral("href=\"([^\"#]+)(#[^\"]*)?\""));
    for (const QString& page : pages) {
        QFile file(QStringLiteral(":/help/") + page);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << page.toStdString();
        const QString html = QString::fromUtf8(file.readAll());
        EXPECT_GT(html.size(), 500) << page.toStdString();
        for (auto it = href.globalMatch(html); it.hasNext();) {
            const QString target = it.next().captured(1);
            EXPECT_TRUE(QFile::exists(QStringLiteral(":/help/") + target))
                << page.toStdString() << " links to " << target.toStdString();
        }
    }
    // F1 help has a section for every control that can take the focus.
    QFile controls(QStringLiteral(":/help/controls.html"));
    ASSERT_TRUE(controls.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(controls.readAll());
    for (const char* name :
         {"cmdExit",      "cmdFindInst", "cmdIDNtst",   "cmdIDNtstoff", "txtCount",  "cmdIFC",
          "cmdDT",        "cmdSpoll",    "cmdSend",     "txtResults",   "cmdRead",   "ckCR",
          "ckLF",         "ckAutoQuery", "ckByteCnt",   "txtRev",       "cmdStatus", "cmdLock",
          "cmdUnlock",    "cmdSDC",      "cmdHelp",     "ckRen",        "cmdLink",   "cmdCmdtst",
          "cmdCmdtstoff", "combCmd",     "ckDispAll",   "combSrvrs",    "ckATN",     "combInst",
          "cmdLinki",     "ckAutoLock",  "optTimeout0", "optTimeout3"}) {
        EXPECT_TRUE(html.contains(QStringLiteral("name=\"%1\"").arg(QLatin1String(name)))) << name;
    }
}

} // namespace
