#include "app/WindowControls.h"

#include "app/Controls.h"
#include "app/TextBoxes.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTimer>

#include <limits>

namespace {

/// A push button whose caption may be laid out over two lines. Several captions carry runs of
/// blanks that were meant to break them into two lines inside a narrow button; text() keeps
/// the caption exactly, and the painter draws it word-wrapped with the runs collapsed.
class WrapButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        option.text.clear();
        painter.drawControl(QStyle::CE_PushButton, option);
        const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::ButtonText));
        painter.drawText(area.adjusted(2, 0, -2, 0), Qt::AlignCenter | Qt::TextWordWrap,
                         text().simplified());
    }
};

template <typename W>
W* named(W* widget, const char* name, const char* toolTip = nullptr) {
    widget->setObjectName(QString::fromLatin1(name));
    if (toolTip != nullptr) {
        widget->setToolTip(QString::fromLatin1(toolTip));
    }
    return widget;
}

/// A push button that Enter and Return press while it has the focus, as Space does. (Outside
/// a dialog a Qt button reacts to Space only.)
template <typename B = QPushButton>
B* button(const char* caption, QWidget* parent) {
    auto* b = new B(QString::fromLatin1(caption), parent);
    b->setAutoDefault(true);
    return b;
}

/// An indicator label whose caption wraps at its blanks, as the button captions do.
QLabel* wrapLabel(const char* caption, QWidget* parent) {
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    label->setAutoFillBackground(true);
    return label;
}

QGroupBox* frame(const char* title, const char* name, QWidget* window, QRect place) {
    auto* box = named(new QGroupBox(QString::fromLatin1(title), window), name);
    box->setGeometry(place);
    return box;
}

QComboBox* editableCombo(QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setEditable(true);
    // Typing and Enter never add to the list; only the program fills it.
    combo->setInsertPolicy(QComboBox::NoInsert);
    // No completion: it would turn a typed "*IDN?" into the listed "*idn?", and the bytes sent
    // must be the ones typed.
    combo->setCompleter(nullptr);
    // Filling an empty list must not pick its first entry and so change the text: the text is
    // what the user typed or picked. An editable box never draws this placeholder; it only
    // stops that pick.
    combo->setPlaceholderText(QStringLiteral(" "));
    // No silent cut: a line edit keeps 32,767 characters unless told otherwise, and a command
    // cut short would still be sent.
    combo->lineEdit()->setMaxLength(std::numeric_limits<int>::max());
    return combo;
}

/// Row 1: the error box across the whole width.
void createErrorBox(Controls& ui, QWidget* window) {
    ui.txtError = named(new ErrorBox(window), "txtError");
    ui.txtError->setGeometry(4, 4, 650, 24);
    ui.txtError->setReadOnly(true);
    ui.txtError->setVisible(false); // shown only while it holds a report
    QPalette p = ui.txtError->palette();
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0xB0, 0x00, 0x00));
    p.setColor(QPalette::Disabled, QPalette::Base, QColor(0xFF, 0xF4, 0xE0));
    ui.txtError->setPalette(p);
}

/// Row 2: "Open Server", and the Help button right of it.
void createServerFrame(Controls& ui, QWidget* window) {
    ui.frmCtlrAddr = frame("Open Server", "frmCtlrAddr", window, {4, 32, 508, 54});
    ui.combSrvrs =
        named(editableCombo(ui.frmCtlrAddr), "combSrvrs",
              "Select a found server or enter a server name before creating server link");
    ui.combSrvrs->setGeometry(10, 20, 330, 26);
    ui.cmdLink = named(button("Create Link", ui.frmCtlrAddr), "cmdLink",
                       "Creates VXI-11 link to selected server");
    ui.cmdLink->setGeometry(352, 18, 146, 30);
    ui.cmdHelp = named(button("Help", window), "cmdHelp", "Displays help file");
    ui.cmdHelp->setGeometry(540, 48, 90, 30);
}

/// Row 3: "Instrument Resource  Address" and the lock indicator right of it.
void createAddressFrame(Controls& ui, QWidget* window) {
    ui.frmAddr = frame("Instrument Resource  Address", "frmAddr", window, {4, 90, 398, 70});
    ui.cmdFindInst = named(button<WrapButton>("     Find Instruments", ui.frmAddr), "cmdFindInst",
                           "Does a Findlstn on the server to find instruments");
    ui.cmdFindInst->setGeometry(10, 20, 104, 42);
    ui.combInst = named(editableCombo(ui.frmAddr), "combInst",
                        "Select a found instrument before creating instrument link");
    ui.combInst->setGeometry(124, 28, 134, 26);
    ui.cmdLinki = named(button<WrapButton>("   Select Inst          and Link", ui.frmAddr),
                        "cmdLinki", "Creates a VXI-11 link to an instrument (device)");
    ui.cmdLinki->setGeometry(270, 20, 118, 42);

    ui.lbliLock = named(wrapLabel(" Inst Link     Locked", window), "lbliLock");
    ui.lbliLock->setGeometry(410, 104, 96, 44);
    QPalette p = ui.lbliLock->palette();
    p.setColor(QPalette::Window, QColor(0xD0, 0x10, 0x10));
    p.setColor(QPalette::WindowText, Qt::white);
    ui.lbliLock->setPalette(p);
    QFont f = ui.lbliLock->font();
    f.setBold(true);
    ui.lbliLock->setFont(f);
}

/// Row 3, right edge: "Interface Commands".
void createInterfaceFrame(Controls& ui, QWidget* window) {
    ui.frm488_1 = frame("Interface Commands", "frm488_1", window, {518, 90, 136, 126});
    ui.cmdIFC =
        named(button("Send IFC", ui.frm488_1), "cmdIFC", "Sends IFC (Abort) to all devices");
    ui.cmdIFC->setGeometry(10, 24, 116, 30);
    ui.cmdStatus =
        named(button("Bus Status", ui.frm488_1), "cmdStatus", "Reads Bus Status from server");
    ui.cmdStatus->setGeometry(10, 76, 116, 30);
}

/// Row 4: "Message Terminators".
void createTerminatorFrame(Controls& ui, QWidget* window) {
    ui.frmTerm = frame("Message Terminators", "frmTerm", window, {4, 164, 160, 52});
    ui.ckCR = named(new QCheckBox(QStringLiteral("CR"), ui.frmTerm), "ckCR",
                    "Adds CR terminator  to command string");
    ui.ckCR->setGeometry(12, 22, 60, 22);
    ui.ckLF = named(new QCheckBox(QStringLiteral("LF"), ui.frmTerm), "ckLF",
                    "Adds linefeed terminator to command string");
    ui.ckLF->setGeometry(84, 22, 60, 22);
    ui.ckLF->setChecked(true);
}

/// Row 4: "Control Signals" and the keep-alive indicator right of it.
void createSignalFrame(Controls& ui, QWidget* window) {
    ui.frmSig = frame("Control Signals", "frmSig", window, {170, 164, 232, 52});
    ui.ckRen = named(new QCheckBox(QStringLiteral("Remote(REN)"), ui.frmSig), "ckRen",
                     "Asserts REN when checked");
    ui.ckRen->setGeometry(12, 22, 124, 22);
    ui.ckRen->setChecked(true);
    ui.ckATN =
        named(new QCheckBox(QStringLiteral("ATN"), ui.frmSig), "ckATN", "Asserts ATN when checked");
    ui.ckATN->setGeometry(150, 22, 70, 22);

    ui.lblKeepAliveMsg = named(wrapLabel(" Keeplive      Sent", window), "lblKeepAliveMsg");
    ui.lblKeepAliveMsg->setGeometry(410, 168, 96, 44);
    // The desktop's own colours, so the flash reads as a system notice, not an alarm.
    QPalette p = ui.lblKeepAliveMsg->palette();
    p.setColor(QPalette::Window, p.color(QPalette::Highlight));
    p.setColor(QPalette::WindowText, p.color(QPalette::HighlightedText));
    ui.lblKeepAliveMsg->setPalette(p);
}

/// Row 5: "Device Command".
void createCommandFrame(Controls& ui, QWidget* window) {
    ui.frmCMD = frame("Device Command", "frmCMD", window, {4, 220, 508, 56});
    ui.combCmd = named(editableCombo(ui.frmCMD), "combCmd",
                       "Enter device specific commands - ASCII characters only");
    ui.combCmd->setGeometry(10, 22, 386, 26);
    ui.cmdSend =
        named(button("Send", ui.frmCMD), "cmdSend", "Sends text in then Device Command String box");
    ui.cmdSend->setGeometry(406, 20, 92, 30);
}

/// Rows 5 to 7, right edge: the tall "Instrument Commands".
void createInstrumentFrame(Controls& ui, QWidget* window) {
    ui.frm488_2 = frame("Instrument Commands", "frm488_2", window, {518, 220, 136, 248});
    ui.ckAutoLock = named(new QCheckBox(QStringLiteral("Auto Lock"), ui.frm488_2), "ckAutoLock");
    ui.ckAutoLock->setGeometry(12, 22, 116, 22);
    ui.cmdLock = named(button("Lock", ui.frm488_2), "cmdLock",
                       "Locks VXI-11 access to tthe device to prevent others from using it.");
    ui.cmdUnlock = named(button("Unlock", ui.frm488_2), "cmdUnlock", "Removes the device lock");
    ui.cmdSDC = named(button("Device Clear", ui.frm488_2), "cmdSDC",
                      "Sends Device Clear (SDC) message to the device");
    ui.cmdDT = named(button("Device Trigger", ui.frm488_2), "cmdDT",
                     "Sends Device Triger (GET) message to the device.");
    ui.cmdSpoll = named(button("Serial Poll", ui.frm488_2), "cmdSpoll", "Serial Polls the device");
    int y = 52;
    for (QPushButton* b : {ui.cmdLock, ui.cmdUnlock, ui.cmdSDC, ui.cmdDT, ui.cmdSpoll}) {
        b->setGeometry(10, y, 116, 30);
        y += 38;
    }
}

/// Row 6: "Device Response".
void createResponseFrame(Controls& ui, QWidget* window) {
    ui.frmResults = frame("Device Response", "frmResults", window, {4, 280, 508, 132});
    ui.ckAutoQuery =
        named(new QCheckBox(QStringLiteral("Auto Query"), ui.frmResults), "ckAutoQuery",
              "Reads a response to any query with a '?' in the command string");
    ui.ckAutoQuery->setGeometry(8, 24, 94, 22);
    ui.ckByteCnt = named(new QCheckBox(QStringLiteral("Display Byte Count"), ui.frmResults),
                         "ckByteCnt", "Displays input byte count");
    ui.ckByteCnt->setGeometry(104, 24, 134, 22);
    ui.ckDispAll = named(new QCheckBox(QStringLiteral("Display All Characters"), ui.frmResults),
                         "ckDispAll", "Shows non-printing characters");
    ui.ckDispAll->setGeometry(240, 24, 162, 22);
    ui.cmdRead = named(button<WrapButton>("Read Device Response", ui.frmResults), "cmdRead",
                       "Reads device data");
    ui.cmdRead->setGeometry(404, 14, 96, 42);
    ui.txtResults = named(new ResultsBox(ui.frmResults), "txtResults",
                          "Displays command and device responses.");
    ui.txtResults->setGeometry(10, 60, 488, 64);
}

/// Row 7: "IDN Message Loop" (its buttons belong to the window), the loop counter, the logo.
void createIdnLoopFrame(Controls& ui, QWidget* window) {
    ui.frmIDNLoop = frame("IDN Message Loop", "frmIDNLoop", window, {4, 416, 206, 52});
    ui.cmdIDNtst = named(button("Run Loop", window), "cmdIDNtst", "Starts *IDN? query loop");
    ui.cmdIDNtst->setGeometry(14, 434, 88, 28);
    ui.cmdIDNtstoff = named(button("Stop Loop", window), "cmdIDNtstoff", "Stops *IDN? query loop");
    ui.cmdIDNtstoff->setGeometry(112, 434, 88, 28);
    // The buttons lie on the frame's area but belong to the window: keep them on top.
    ui.cmdIDNtst->raise();
    ui.cmdIDNtstoff->raise();

    ui.lblCount = named(new QLabel(QStringLiteral("Loop Count"), window), "lblCount");
    ui.lblCount->setGeometry(218, 420, 82, 18);
    ui.lblCount->setVisible(false); // shown with the count while a loop runs
    ui.txtCount = named(new QLineEdit(window), "txtCount");
    ui.txtCount->setGeometry(218, 440, 82, 24);
    ui.ImageBrask = named(new QLabel(window), "ImageBrask");
    ui.ImageBrask->setGeometry(308, 418, 204, 66);
    ui.ImageBrask->setPixmap(QPixmap(QStringLiteral(":/siclquill/logo.png")));
    ui.ImageBrask->setScaledContents(true); // the picture is stretched into its box
}

/// Row 8: "Device Command Loop".
void createCommandLoopFrame(Controls& ui, QWidget* window) {
    ui.frmCmdLp = frame("Device Command Loop", "frmCmdLp", window, {4, 472, 206, 52});
    ui.cmdCmdtst = named(button("Start Loop", ui.frmCmdLp), "cmdCmdtst",
                         "Starts loop using text inthe Device Command box");
    ui.cmdCmdtst->setGeometry(10, 18, 88, 28);
    ui.cmdCmdtstoff =
        named(button("Stop Loop", ui.frmCmdLp), "cmdCmdtstoff", "Stops Device Command loop");
    ui.cmdCmdtstoff->setGeometry(108, 18, 88, 28);
}

/// Row 9: "Link Timeout", the revision box, Exit at the right.
void createTimeoutFrame(Controls& ui, QWidget* window) {
    ui.frmTimeout = frame("Link Timeout", "frmTimeout", window, {4, 528, 300, 49});
    const char* const captions[4] = {"1 Sec", "3 Sec", "10 Sec", "None"};
    for (int i = 0; i < 4; ++i) {
        auto* option = new QRadioButton(QString::fromLatin1(captions[i]), ui.frmTimeout);
        option->setObjectName(QStringLiteral("optTimeout%1").arg(i));
        option->setGeometry(10 + i * 72, 20, 68, 22);
        ui.optTimeout[static_cast<std::size_t>(i)] = option;
    }
    ui.txtRev = named(new QLineEdit(window), "txtRev");
    ui.txtRev->setGeometry(316, 544, 150, 24);
    ui.txtRev->setReadOnly(true);
    ui.txtRev->setFrame(false);
    ui.cmdExit = named(button("Exit", window), "cmdExit", "Exits the program");
    ui.cmdExit->setGeometry(554, 540, 100, 32);
}

/// The loop timer and the keep-alive timer.
void createTimers(Controls& ui, QWidget* window) {
    ui.Timer1 = new QTimer(window);
    ui.Timer1->setObjectName(QStringLiteral("Timer1"));
    ui.Timer2 = new QTimer(window);
    ui.Timer2->setObjectName(QStringLiteral("Timer2"));
    ui.Timer2->setInterval(60000);
}

} // namespace

void createWindowControls(Controls& ui, QWidget& window) {
    createErrorBox(ui, &window);
    createServerFrame(ui, &window);
    createAddressFrame(ui, &window);
    createInterfaceFrame(ui, &window);
    createTerminatorFrame(ui, &window);
    createSignalFrame(ui, &window);
    createCommandFrame(ui, &window);
    createInstrumentFrame(ui, &window);
    createResponseFrame(ui, &window);
    createIdnLoopFrame(ui, &window);
    createCommandLoopFrame(ui, &window);
    createTimeoutFrame(ui, &window);
    createTimers(ui, &window);
}
