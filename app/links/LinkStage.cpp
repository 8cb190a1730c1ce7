#include "app/links/LinkStage.h"

#include "app/Controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>

#include <initializer_list>

namespace links {

namespace {

void enable(std::initializer_list<QWidget*> controls, bool on) {
    for (QWidget* w : controls) {
        w->setEnabled(on);
    }
}

void enableServerControls(Controls& ui, bool on) {
    enable({ui.cmdFindInst, ui.cmdIFC, ui.cmdStatus, ui.ckRen, ui.ckATN}, on);
}

void enableTimeoutOptions(Controls& ui, bool on) {
    for (QRadioButton* option : ui.optTimeout) {
        option->setEnabled(on);
    }
}

void enableDisplayBoxes(Controls& ui, bool on) {
    enable({ui.ckAutoQuery, ui.ckByteCnt}, on);
}

void enableInstrumentControls(Controls& ui, bool on) {
    enable({ui.cmdSend, ui.cmdRead, ui.cmdIDNtst, ui.cmdCmdtst, ui.cmdLock, ui.cmdUnlock, ui.cmdSDC,
            ui.cmdDT, ui.cmdSpoll, ui.ckCR, ui.ckLF, ui.ckAutoLock},
           on);
    enableDisplayBoxes(ui, on);
    enable({ui.cmdIDNtstoff, ui.cmdCmdtstoff}, false);
}

} // namespace

void enableForStartUp(Controls& ui) {
    ui.cmdLink->setEnabled(true);
    ui.cmdExit->setEnabled(true);
    ui.cmdLinki->setEnabled(false);
    leaveStagesAbove(ui, LinkStage::NoLink);
    enableTimeoutOptions(ui, false);
    enableDisplayBoxes(ui, true);
}

void leaveStagesAbove(Controls& ui, LinkStage stage) {
    if (stage == LinkStage::NoLink) {
        enableServerControls(ui, false);
    }
    if (stage != LinkStage::InstrumentLink) {
        enableInstrumentControls(ui, false);
    }
}

void enterStage(Controls& ui, LinkStage stage) {
    switch (stage) {
    case LinkStage::NoLink:
        break;
    case LinkStage::ServerLink:
        enableServerControls(ui, true);
        enableTimeoutOptions(ui, true);
        break;
    case LinkStage::InstrumentLink:
        enableInstrumentControls(ui, true);
        break;
    }
}

void resetExchangeBoxes(Controls& ui) {
    ui.ckAutoLock->setChecked(false);
    ui.ckCR->setChecked(false);
    ui.ckLF->setChecked(true);
}

void emptyInstrumentList(Controls& ui) {
    {
        // Emptying the list empties the text too when an entry was picked; that is the
        // program's doing, not a change by the user.
        const QSignalBlocker quiet(ui.combInst);
        ui.combInst->clear();
    }
    ui.cmdLinki->setEnabled(false);
}

} // namespace links
