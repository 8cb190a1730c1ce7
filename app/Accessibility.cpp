#include "app/Accessibility.h"

#include "app/Controls.h"
#include "app/TextBoxes.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <initializer_list>

namespace {

/// The caption as it is heard: several captions carry runs of blanks that only served to wrap
/// them inside a narrow button.
QString spoken(const QString& caption) {
    return caption.simplified();
}

void describe(QWidget* w, const QString& name, const QString& description) {
    w->setAccessibleName(name);
    w->setAccessibleDescription(description);
}

/// A captioned button or box: its caption names it, its tool tip (or `fallback` when it has
/// none) describes it.
void describeButton(QAbstractButton* b, const char* fallback = nullptr) {
    const QString tip = b->toolTip();
    describe(b, spoken(b->text()), tip.isEmpty() ? QString::fromLatin1(fallback) : tip);
}

void describeFrame(QGroupBox* frame, const char* description) {
    describe(frame, spoken(frame->title()), QString::fromLatin1(description));
}

} // namespace

void setUpAccessibility(Controls& ui) {
    // Controls without a caption: a name that says what they hold.
    describe(ui.txtError, QStringLiteral("Error message"),
             QStringLiteral("Shows the last error and what to retry"));
    describe(ui.combSrvrs, QStringLiteral("Server"), ui.combSrvrs->toolTip());
    describe(ui.combInst, QStringLiteral("Instrument address"), ui.combInst->toolTip());
    describe(ui.combCmd, QStringLiteral("Device command"), ui.combCmd->toolTip());
    describe(ui.txtResults, QStringLiteral("Device response"), ui.txtResults->toolTip());
    describe(ui.txtCount, spoken(ui.lblCount->text()),
             QStringLiteral("Passes of the running test loop"));
    describe(ui.txtRev, QStringLiteral("Revision"), QStringLiteral("Revision of the program"));
    describe(ui.lbliLock, spoken(ui.lbliLock->text()),
             QStringLiteral("Shown while the instrument link holds the device lock"));
    describe(ui.lblKeepAliveMsg, spoken(ui.lblKeepAliveMsg->text()),
             QStringLiteral("Flashes while an idle link is probed"));
    describe(ui.lblCount, spoken(ui.lblCount->text()),
             QStringLiteral("Passes of the running test loop"));
    describe(ui.ImageBrask, QStringLiteral("Logo"), QStringLiteral("The program's logo"));
    ui.lblCount->setBuddy(ui.txtCount);

    for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
             ui.cmdLink,   ui.cmdHelp,      ui.cmdFindInst, ui.cmdLinki,     ui.cmdIFC,
             ui.cmdStatus, ui.ckCR,         ui.ckLF,        ui.ckRen,        ui.ckATN,
             ui.cmdSend,   ui.cmdLock,      ui.cmdUnlock,   ui.cmdSDC,       ui.cmdDT,
             ui.cmdSpoll,  ui.ckAutoQuery,  ui.ckByteCnt,   ui.ckDispAll,    ui.cmdRead,
             ui.cmdIDNtst, ui.cmdIDNtstoff, ui.cmdCmdtst,   ui.cmdCmdtstoff, ui.cmdExit}) {
        describeButton(b);
    }
    describeButton(ui.ckAutoLock, "Locks the device around each send and read");
    const char* const timeouts[4] = {"Library calls on the links fail after 1 second",
                                     "Library calls on the links fail after 3 seconds",
                                     "Library calls on the links fail after 10 seconds",
                                     "Library calls on the links wait without a time-out"};
    for (std::size_t i = 0; i < ui.optTimeout.size(); ++i) {
        describeButton(ui.optTimeout[i], timeouts[i]);
    }

    describeFrame(ui.frmCtlrAddr, "The gateway to link to");
    describeFrame(ui.frmAddr, "Finding and linking an instrument on the gateway's bus");
    describeFrame(ui.frm488_1, "Operations on the whole bus");
    describeFrame(ui.frmTerm, "Characters added to each command");
    describeFrame(ui.frmSig, "Bus lines driven by the gateway");
    describeFrame(ui.frmCMD, "The command to send to the instrument");
    describeFrame(ui.frm488_2, "Operations on the linked instrument");
    describeFrame(ui.frmResults, "The instrument's answers and how they are shown");
    describeFrame(ui.frmIDNLoop, "Repeats the identification query");
    describeFrame(ui.frmCmdLp, "Repeats the device command");
    describeFrame(ui.frmTimeout, "How long a call on the links may wait");

    // The response box is multi-line: without this, Tab would insert a tab character there
    // and keyboard users could not move on.
    ui.txtResults->setTabChangesFocus(true);
}
