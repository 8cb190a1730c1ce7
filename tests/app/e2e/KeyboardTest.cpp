// Keyboard reach and accessible names: the Tab key visits every control in the window's
// order, each control names and describes itself, and keys operate the focused control.
#include "app/HelpWindow.h"
#include "support/WindowFixture.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

namespace {

using Keyboard = testsupport::WindowFixture;

// The four time-out options are one group: Tab enters it, the arrow keys move inside it.
const char* const kTabOrder[] = {
    "cmdExit",   "cmdFindInst",  "cmdIDNtst",   "cmdIDNtstoff", "txtCount",  "cmdIFC",
    "cmdDT",     "cmdSpoll",     "cmdSend",     "txtResults",   "cmdRead",   "txtError",
    "ckCR",      "ckLF",         "ckAutoQuery", "ckByteCnt",    "txtRev",    "cmdStatus",
    "cmdLock",   "cmdUnlock",    "cmdSDC",      "cmdHelp",      "ckRen",     "cmdLink",
    "cmdCmdtst", "cmdCmdtstoff", "combCmd",     "ckDispAll",    "combSrvrs", "ckATN",
    "combInst",  "cmdLinki",     "ckAutoLock",  "optTimeout0"};

/// The named control that holds the focus (a combo box's line edit counts as its box).
QString focused(QWidget* window) {
    for (QWidget* w = window->focusWidget(); w != nullptr && w != window; w = w->parentWidget()) {
        if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_"))) {
            return w->objectName();
        }
    }
    return {};
}

std::string joined(const QStringList& names) {
    return names.join(QLatin1Char(' ')).toStdString();
}

/// Every control of the window by name (frames, labels and the logo included).
QList<QWidget*> namedControls(QWidget* window) {
    QList<QWidget*> out;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_")) && w->window() == window) {
            out << w;
        }
    }
    return out;
}

TEST_F(Keyboard, TabVisitsEveryControlInTheWindowsOrder) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    // Everything usable and shown at once, as in no single state of the program, so that one
    // walk meets every control.
    for (QWidget* w : namedControls(window.get())) {
        w->setEnabled(true);
    }
    ui.txtCount->setVisible(true);
    ui.txtError->setVisible(true);
    ui.cmdExit->setFocus();

    QStringList seen{focused(window.get())};
    for (std::size_t i = 1; i < std::size(kTabOrder); ++i) {
        QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
        seen << focused(window.get());
    }
    QStringList wanted;
    for (const char* name : kTabOrder) {
        wanted << QString::fromLatin1(name);
    }
    EXPECT_EQ(joined(seen), joined(wanted));
    EXPECT_EQ(ui.txtResults->toPlainText(), QString()) << "Tab left the response box unchanged";

    for (const char* option : {"optTimeout1", "optTimeout2", "optTimeout3"}) {
        QTest::keyClick(window->focusWidget(), Qt::Key_Right);
        EXPECT_EQ(focused(window.get()).toStdString(), option);
    }
    QTest::keyClick(window->focusWidget(), Qt::Key_Space);
    EXPECT_TRUE(ui.optTimeout[3]->isChecked()) << "Space chooses the option";

    // And round again to the first.
    QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(focused(window.get()).toStdString(), "cmdExit");
}

TEST_F(Keyboard, TabSkipsWhatStartUpDisabledOrHid) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QStringList seen;
    for (int i = 0; i < 12; ++i) {
        seen << focused(window.get());
        QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(seen,
              (QStringList{"cmdExit", "txtResults", "ckAutoQuery", "ckByteCnt", "txtRev", "cmdHelp",
                           "cmdLink", "combCmd", "ckDispAll", "combSrvrs", "combInst", "cmdExit"}));
}

TEST_F(Keyboard, EveryControlHasAnAccessibleNameAndDescription) {
    const QList<QWidget*> controls = namedControls(window.get());
    // Every control of the Controls struct, the four time-out options counted, the timers aside.
    ASSERT_EQ(controls.size(), 52);
    for (QWidget* w : controls) {
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_FALSE(w->accessibleName().trimmed().isEmpty());
        EXPECT_FALSE(w->accessibleDescription().trimmed().isEmpty());
        if (!w->toolTip().isEmpty()) {
            EXPECT_EQ(w->accessibleDescription(), w->toolTip());
        }
    }
    // Captions are spoken as they read, without the blanks that only wrap them.
    EXPECT_EQ(ui.cmdFindInst->accessibleName(), QStringLiteral("Find Instruments"));
    EXPECT_EQ(ui.cmdLinki->accessibleName(), QStringLiteral("Select Inst and Link"));
    EXPECT_EQ(ui.lbliLock->accessibleName(), QStringLiteral("Inst Link Locked"));
    EXPECT_EQ(ui.optTimeout[3]->accessibleName(), QStringLiteral("None"));
    EXPECT_EQ(ui.frmAddr->accessibleName(), QStringLiteral("Instrument Resource Address"));
    EXPECT_EQ(ui.txtCount->accessibleName(), ui.lblCount->text());
    // The captions themselves are untouched.
    EXPECT_EQ(ui.cmdFindInst->text(), QStringLiteral("     Find Instruments"));
}

TEST_F(Keyboard, SpaceOperatesTheFocusedButtonAndBox) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ui.cmdHelp->setFocus();
    QTest::keyClick(ui.cmdHelp, Qt::Key_Space);
    ASSERT_NE(window->helpWindow(), nullptr);
    EXPECT_TRUE(window->helpWindow()->isVisible());

    window->activateWindow();
    ui.ckByteCnt->setFocus();
    QTest::keyClick(ui.ckByteCnt, Qt::Key_Space);
    EXPECT_TRUE(ui.ckByteCnt->isChecked());
}

TEST_F(Keyboard, EnterAndReturnPressTheFocusedButton) {
    ui.cmdLink->setFocus();
    QTest::keyClick(ui.cmdLink, Qt::Key_Return);
    EXPECT_NE(st.hIntf, 0);
    ui.cmdHelp->setFocus();
    QTest::keyClick(ui.cmdHelp, Qt::Key_Enter);
    ASSERT_NE(window->helpWindow(), nullptr);
    EXPECT_TRUE(window->helpWindow()->isVisible());
}

} // namespace
