// The window as the start-up step leaves it: every control, the tab order, the timers, the
// window-level state and the pictures.
#include "support/WindowFixture.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>

namespace {

using StartUp = testsupport::WindowFixture;

enum class Shown { Visible, Hidden };
enum class Usable { Enabled, Disabled };
enum class Check { None, Checked, Unchecked };

struct ControlRow {
    const char* name;
    const char* kind;    ///< Qt class the control must be
    const char* caption; ///< null: no caption to compare
    const char* toolTip; ///< "" when the control has none
    Usable usable;
    Shown shown;
    Check check;
};

// Captions and tool tips character for character, doubled blanks and misspellings included.
const ControlRow kRows[] = {
    {"txtError", "QLineEdit", nullptr, "", Usable::Disabled, Shown::Hidden, Check::None},
    {"frmCtlrAddr", "QGroupBox", "Open Server", "", Usable::Enabled, Shown::Visible, Check::None},
    {"combSrvrs", "QComboBox", nullptr,
     "Select a found server or enter a server name before creating server link", Usable::Enabled,
     Shown::Visible, Check::None},
    {"cmdLink", "QPushButton", "Create Link", "Creates VXI-11 link to selected server",
     Usable::Enabled, Shown::Visible, Check::None},
    {"cmdHelp", "QPushButton", "Help", "Displays help file", Usable::Enabled, Shown::Visible,
     Check::None},
    {"frmAddr", "QGroupBox", "Instrument Resource  Address", "", Usable::Enabled, Shown::Visible,
     Check::None},
    {"cmdFindInst", "QPushButton", "     Find Instruments",
     "Does a Findlstn on the server to find instruments", Usable::Disabled, Shown::Visible,
     Check::None},
    {"combInst", "QComboBox", nullptr, "Select a found instrument before creating instrument link",
     Usable::Enabled, Shown::Visible, Check::None},
    {"cmdLinki", "QPushButton", "   Select Inst          and Link",
     "Creates a VXI-11 link to an instrument (device)", Usable::Disabled, Shown::Visible,
     Check::None},
    {"lbliLock", "QLabel", " Inst Link     Locked", "", Usable::Enabled, Shown::Hidden,
     Check::None},
    {"frm488_1", "QGroupBox", "Interface Commands", "", Usable::Enabled, Shown::Visible,
     Check::None},
    {"cmdIFC", "QPushButton", "Send IFC", "Sends IFC (Abort) to all devices", Usable::Disabled,
     Shown::Visible, Check::None},
    {"cmdStatus", "QPushButton", "Bus Status", "Reads Bus Status from server", Usable::Disabled,
     Shown::Visible, Check::None},
    {"frmTerm", "QGroupBox", "Message Terminators", "", Usable::Enabled, Shown::Visible,
     Check::None},
    {"ckCR", "QCheckBox", "CR", "Adds CR terminator  to command string", Usable::Disabled,
     Shown::Visible, Check::Unchecked},
    {"ckLF", "QCheckBox", "LF", "Adds linefeed terminator to command string", Usable::Disabled,
     Shown::Visible, Check::Checked},
    {"frmSig", "QGroupBox", "Control Signals", "", Usable::Enabled, Shown::Visible, Check::None},
    {"ckRen", "QCheckBox", "Remote(REN)", "Asserts REN when checked", Usable::Disabled,
     Shown::Visible, Check::Checked},
    {"ckATN", "QCheckBox", "ATN", "Asserts ATN when checked", Usable::Disabled, Shown::Visible,
     Check::Unchecked},
    {"lblKeepAliveMsg", "QLabel", " Keeplive      Sent", "", Usable::Enabled, Shown::Hidden,
     Check::None},
    {"frmCMD", "QGroupBox", "Device Command", "", Usable::Enabled, Shown::Visible, Check::None},
    {"combCmd", "QComboBox", nullptr, "Enter device specific commands - ASCII characters only",
     Usable::Enabled, Shown::Visible, Check::None},
    {"cmdSend", "QPushButton", "Send", "Sends text in then Device Command String box",
     Usable::Disabled, Shown::Visible, Check::None},
    {"frm488_2", "QGroupBox", "Instrument Commands", "", Usable::Enabled, Shown::Visible,
     Check::None},
    {"ckAutoLock", "QCheckBox", "Auto Lock", "", Usable::Disabled, Shown::Visible,
     Check::Unchecked},
    {"cmdLock", "QPushButton", "Lock",
     "Locks VXI-11 access to tthe device to prevent others from using it.", Usable::Disabled,
     Shown::Visible, Check::None},
    {"cmdUnlock", "QPushButton", "Unlock", "Removes the device lock", Usable::Disabled,
     Shown::Visible, Check::None},
    {"cmdSDC", "QPushButton", "Device Clear", "Sends Device Clear (SDC) message to the device",
     Usable::Disabled, Shown::Visible, Check::None},
    {"cmdDT", "QPushButton", "Device Trigger", "Sends Device Triger (GET) message to the device.",
     Usable::Disabled, Shown::Visible, Check::None},
    {"cmdSpoll", "QPushButton", "Serial Poll", "Serial Polls the device", Usable::Disabled,
     Shown::Visible, Check::None},
    {"frmResults", "QGroupBox", "Device Response", "", Usable::Enabled, Shown::Visible,
     Check::None},
    {"ckAutoQuery", "QCheckBox", "Auto Query",
     "Reads a response to any query with a '?' in the command string", Usable::Enabled,
     Shown::Visible, Check::Checked},
    {"ckByteCnt", "QCheckBox", "Display Byte Count", "Displays input byte count", Usable::Enabled,
     Shown::Visible, Check::Unchecked},
    {"ckDispAll", "QCheckBox", "Display All Characters", "Shows non-printing characters",
     Usable::Enabled, Shown::Visible, Check::Unchecked},
    {"cmdRead", "QPushButton", "Read Device Response", "Reads device data", Usable::Disabled,
     Shown::Visible, Check::None},
    {"txtResults", "QPlainTextEdit", nullptr, "Displays command and device responses.",
     Usable::Enabled, Shown::Visible, Check::None},
    {"frmIDNLoop", "QGroupBox", "IDN Message Loop", "", Usable::Enabled, Shown::Visible,
     Check::None},
    {"cmdIDNtst", "QPushButton", "Run Loop", "Starts *IDN? query loop", Usable::Disabled,
     Shown::Visible, Check::None},
    {"cmdIDNtstoff", "QPushButton", "Stop Loop", "Stops *IDN? query loop", Usable::Disabled,
     Shown::Visible, Check::None},
    {"lblCount", "QLabel", "Loop Count", "", Usable::Enabled, Shown::Hidden, Check::None},
    {"txtCount", "QLineEdit", nullptr, "", Usable::Enabled, Shown::Hidden, Check::None},
    {"ImageBrask", "QLabel", nullptr, "", Usable::Enabled, Shown::Visible, Check::None},
    {"frmCmdLp", "QGroupBox", "Device Command Loop", "", Usable::Enabled, Shown::Visible,
     Check::None},
    {"cmdCmdtst", "QPushButton", "Start Loop", "Starts loop using text inthe Device Command box",
     Usable::Disabled, Shown::Visible, Check::None},
    {"cmdCmdtstoff", "QPushButton", "Stop Loop", "Stops Device Command loop", Usable::Disabled,
     Shown::Visible, Check::None},
    {"frmTimeout", "QGroupBox", "Link Timeout", "", Usable::Enabled, Shown::Visible, Check::None},
    {"optTimeout0", "QRadioButton", "1 Sec", "", Usable::Disabled, Shown::Visible,
     Check::Unchecked},
    {"optTimeout1", "QRadioButton", "3 Sec", "", Usable::Disabled, Shown::Visible,
     Check::Unchecked},
    {"optTimeout2", "QRadioButton", "10 Sec", "", Usable::Disabled, Shown::Visible,
     Check::Unchecked},
    {"optTimeout3", "QRadioButton", "None", "", Usable::Disabled, Shown::Visible, Check::Unchecked},
    {"txtRev", "QLineEdit", nullptr, "", Usable::Enabled, Shown::Visible, Check::None},
    {"cmdExit", "QPushButton", "Exit", "Exits the program", Usable::Enabled, Shown::Visible,
     Check::None},
};

QString captionOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        return b->text();
    }
    if (auto* g = qobject_cast<QGroupBox*>(w)) {
        return g->title();
    }
    if (auto* l = qobject_cast<QLabel*>(w)) {
        return l->text();
    }
    return {};
}

TEST_F(StartUp, EveryControlHasItsKindCaptionToolTipAndState) {
    for (const ControlRow& row : kRows) {
        SCOPED_TRACE(row.name);
        auto* w = window->findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(w->inherits(row.kind)) << w->metaObject()->className();
        if (row.caption != nullptr) {
            EXPECT_EQ(captionOf(w).toStdString(), row.caption);
        }
        EXPECT_EQ(w->toolTip().toStdString(), row.toolTip);
        EXPECT_EQ(w->isEnabled(), row.usable == Usable::Enabled);
        EXPECT_EQ(w->isVisible(), row.shown == Shown::Visible);
        if (row.check != Check::None) {
            auto* b = qobject_cast<QAbstractButton*>(w);
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(b->isChecked(), row.check == Check::Checked);
        }
    }
}

TEST_F(StartUp, ControlsStructPointsAtTheNamedControls) {
    // Handlers reach the controls through the struct; each entry must be the control of its name.
    EXPECT_EQ(ui.cmdLink->objectName(), QStringLiteral("cmdLink"));
    EXPECT_EQ(ui.txtError->objectName(), QStringLiteral("txtError"));
    EXPECT_EQ(ui.txtResults->objectName(), QStringLiteral("txtResults"));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ui.optTimeout[static_cast<std::size_t>(i)]->objectName(),
                  QStringLiteral("optTimeout%1").arg(i));
        EXPECT_EQ(ui.optTimeout[static_cast<std::size_t>(i)]->parentWidget(), ui.frmTimeout);
    }
    // Buttons on the window, not in a frame, although drawn over one.
    EXPECT_EQ(ui.cmdIDNtst->parentWidget(), window.get());
    EXPECT_EQ(ui.cmdIDNtstoff->parentWidget(), window.get());
    EXPECT_EQ(ui.cmdSend->parentWidget(), ui.frmCMD);
}

TEST_F(StartUp, CommandListHoldsTheThreeQueriesAndTheBoxesStartEmpty) {
    ASSERT_EQ(ui.combCmd->count(), 3);
    EXPECT_EQ(ui.combCmd->itemText(0), QStringLiteral("*esr?"));
    EXPECT_EQ(ui.combCmd->itemText(1), QStringLiteral("*idn?"));
    EXPECT_EQ(ui.combCmd->itemText(2), QStringLiteral("*stb?"));
    EXPECT_TRUE(ui.combCmd->currentText().isEmpty());
    EXPECT_EQ(ui.combSrvrs->count(), 0);
    EXPECT_TRUE(ui.combSrvrs->currentText().isEmpty());
    EXPECT_EQ(ui.combInst->count(), 0);
    EXPECT_TRUE(ui.combInst->currentText().isEmpty());
    EXPECT_TRUE(ui.txtError->text().isEmpty());
    EXPECT_TRUE(ui.txtResults->text().isEmpty());
    EXPECT_EQ(ui.txtRev->text(), QStringLiteral("Revised 12-20-2005"));
    for (QComboBox* c : {ui.combSrvrs, ui.combInst, ui.combCmd}) {
        EXPECT_TRUE(c->isEditable());
        EXPECT_EQ(c->insertPolicy(), QComboBox::NoInsert);
    }
}

TEST_F(StartUp, TypedTextIsNeverCompletedFromTheList) {
    // Completion would turn "*IDN?" into the listed "*idn?" and send other bytes than typed.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ui.combCmd->setFocus();
    QTest::keyClicks(ui.combCmd->lineEdit(), QStringLiteral("*ID"));
    EXPECT_EQ(ui.combCmd->currentText(), QStringLiteral("*ID"));
    QTest::keyClicks(ui.combCmd->lineEdit(), QStringLiteral("N?"));
    EXPECT_EQ(ui.combCmd->currentText(), QStringLiteral("*IDN?"));
    EXPECT_EQ(ui.combCmd->count(), 3);
}

TEST_F(StartUp, WindowLevelStateStartsAtItsValues) {
    EXPECT_EQ(st.hIntf, 0);
    EXPECT_EQ(st.hDev, 0);
    EXPECT_EQ(st.NL, QStringLiteral("\r\n"));
    EXPECT_EQ(st.readBuf, QString(100, QLatin1Char(' ')));
    EXPECT_EQ(st.Device, QStringLiteral("4"));
    EXPECT_EQ(st.IDNTestFlg, 0);
    EXPECT_EQ(st.CMDloopFlg, 0);
    EXPECT_EQ(st.LpCount, 0);
    EXPECT_EQ(st.MsgSentFlg, 0);
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_TRUE(lib.calls.empty()) << "start-up calls nothing in the library";
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(StartUp, TimersLoopOneStoppedKeepAliveEveryMinute) {
    EXPECT_FALSE(ui.Timer1->isActive());
    EXPECT_EQ(ui.Timer1->interval(), 0);
    EXPECT_TRUE(ui.Timer2->isActive());
    EXPECT_EQ(ui.Timer2->interval(), 60000);
}

TEST(StartUpUnshown, KeepAliveTimerWaitsUntilTheWindowIsShown) {
    testsupport::FakeLibrary lib;
    testsupport::CountingBeep beeps;
    frm1 window(lib, beeps);
    EXPECT_FALSE(window.controls().Timer2->isActive());
    window.show();
    EXPECT_TRUE(window.controls().Timer2->isActive());
}

TEST_F(StartUp, WindowHasItsCaptionFixedSizeIconAndLogo) {
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Brask SICL Quill"));
    EXPECT_EQ(window->size(), QSize(658, 581));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowIcon().isNull());

    const QPixmap logo = ui.ImageBrask->pixmap();
    ASSERT_FALSE(logo.isNull());
    EXPECT_EQ(logo.size(), QSize(847, 275));
    EXPECT_FALSE(logo.hasAlphaChannel()) << "24-bit colour, no alpha";
    EXPECT_TRUE(ui.ImageBrask->hasScaledContents());
}

TEST_F(StartUp, EveryControlLiesInsideTheWindowAndNoTwoSiblingsOverlap) {
    const QRect client(QPoint(0, 0), window->size());
    const auto widgets = window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* w : widgets) {
        if (w->isWindow() || w->objectName().isEmpty()) {
            continue;
        }
        EXPECT_TRUE(client.contains(w->geometry())) << w->objectName().toStdString();
    }
    // Controls within one frame never overlap each other.
    for (QGroupBox* frame : window->findChildren<QGroupBox*>()) {
        const auto inside = frame->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        for (QWidget* a : inside) {
            EXPECT_TRUE(QRect(QPoint(0, 0), frame->size()).contains(a->geometry()))
                << a->objectName().toStdString();
            for (QWidget* b : inside) {
                if (a != b && !a->objectName().isEmpty() && !b->objectName().isEmpty()) {
                    EXPECT_FALSE(a->geometry().intersects(b->geometry()))
                        << a->objectName().toStdString() << " / " << b->objectName().toStdString();
                }
            }
        }
    }
}

TEST_F(StartUp, TabKeyVisitsTheControlsInTheirOrder) {
    const char* const order[] = {
        "cmdExit",    "cmdFindInst",  "cmdIDNtst",   "cmdIDNtstoff", "txtCount",    "cmdIFC",
        "cmdDT",      "cmdSpoll",     "cmdSend",     "txtResults",   "cmdRead",     "txtError",
        "ckCR",       "ckLF",         "ckAutoQuery", "ckByteCnt",    "txtRev",      "cmdStatus",
        "cmdLock",    "cmdUnlock",    "cmdSDC",      "cmdHelp",      "ckRen",       "cmdLink",
        "cmdCmdtst",  "cmdCmdtstoff", "combCmd",     "ckDispAll",    "combSrvrs",   "ckATN",
        "combInst",   "cmdLinki",     "ckAutoLock",  "optTimeout0",  "optTimeout1", "optTimeout2",
        "optTimeout3"};
    QStringList wanted;
    for (const char* name : order) {
        wanted << QString::fromLatin1(name);
    }
    // Walk the focus chain from the first control and keep the named controls in it.
    QStringList seen;
    QWidget* w = ui.cmdExit;
    do {
        if (wanted.contains(w->objectName()) && !seen.contains(w->objectName())) {
            seen << w->objectName();
        }
        w = w->nextInFocusChain();
    } while (w != ui.cmdExit && seen.size() < wanted.size());
    EXPECT_EQ(seen, wanted);
    EXPECT_EQ(window->focusWidget(), ui.cmdExit) << "the first control holds the focus";
}

} // namespace
