#include "app/frm1.h"

#include "app/Accessibility.h"
#include "app/HelpWindow.h"
#include "app/TextBoxes.h"
#include "app/device/CommandSend.h"
#include "app/device/DeviceExchange.h"
#include "app/device/DeviceOperations.h"
#include "app/device/ResponseRead.h"
#include "app/interface/InterfaceOperations.h"
#include "app/links/InstrumentDiscovery.h"
#include "app/links/InstrumentLink.h"
#include "app/links/KeepAlive.h"
#include "app/links/LinkTimeout.h"
#include "app/links/ServerLink.h"
#include "app/loops/TestLoops.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTimer>
#include <QUrl>

#include <cstdio>

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

/// An indicator label whose caption wraps at its blanks, as the button captions do.
QLabel* wrapLabel(const QString& caption, QWidget* parent) {
    auto* label = new QLabel(caption, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    label->setAutoFillBackground(true);
    return label;
}

template <typename W>
W* named(W* widget, const char* name, const char* toolTip = nullptr) {
    widget->setObjectName(QString::fromLatin1(name));
    if (toolTip != nullptr) {
        widget->setToolTip(QString::fromLatin1(toolTip));
    }
    return widget;
}

QComboBox* editableCombo(QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setEditable(true);
    // Typing and Enter never add to the list; only the program fills it.
    combo->setInsertPolicy(QComboBox::NoInsert);
    // No completion: it would turn a typed "*IDN?" into the listed "*idn?", and the bytes sent
    // must be the ones typed.
    combo->setCompleter(nullptr);
    return combo;
}

} // namespace

frm1::frm1(sicl::InstrumentLibrary& lib, BeepSink& beep, QWidget* parent)
    : QWidget(parent), m_sicl(lib),
      m_report(m_ui, m_state, beep), m_ctx{m_ui, m_state, m_report, m_sicl},
      m_exitAction([] { QCoreApplication::exit(0); }) {
    // The resources live in a static library; make sure the linker keeps them.
    Q_INIT_RESOURCE(resources);
    setObjectName(QStringLiteral("frm1"));
    setWindowTitle(QStringLiteral("Brask SICL Quill"));
    setWindowIcon(QIcon(QStringLiteral(":/siclquill/icon.png")));
    setFixedSize(kWidth, kHeight);

    createControls();
    setTabOrder();
    setUpAccessibility(m_ui);
    createUnits();
    wire();
    startUp();
}

frm1::~frm1() = default;

void frm1::createControls() {
    Controls& ui = m_ui;

    // Row 1: the error box across the whole width.
    ui.txtError = named(new ErrorBox(this), "txtError");
    ui.txtError->setGeometry(4, 4, 650, 24);
    ui.txtError->setReadOnly(true);
    ui.txtError->setVisible(false); // shown only while it holds a report
    {
        QPalette p = ui.txtError->palette();
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(0xB0, 0x00, 0x00));
        p.setColor(QPalette::Disabled, QPalette::Base, QColor(0xFF, 0xF4, 0xE0));
        ui.txtError->setPalette(p);
    }

    // Row 2: "Open Server", and the Help button right of it.
    ui.frmCtlrAddr = named(new QGroupBox(QStringLiteral("Open Server"), this), "frmCtlrAddr");
    ui.frmCtlrAddr->setGeometry(4, 32, 508, 54);
    ui.combSrvrs =
        named(editableCombo(ui.frmCtlrAddr), "combSrvrs",
              "Select a found server or enter a server name before creating server link");
    ui.combSrvrs->setGeometry(10, 20, 330, 26);
    ui.cmdLink = named(new QPushButton(QStringLiteral("Create Link"), ui.frmCtlrAddr), "cmdLink",
                       "Creates VXI-11 link to selected server");
    ui.cmdLink->setGeometry(352, 18, 146, 30);
    ui.cmdHelp =
        named(new QPushButton(QStringLiteral("Help"), this), "cmdHelp", "Displays help file");
    ui.cmdHelp->setGeometry(540, 48, 90, 30);

    // Row 3: "Instrument Resource  Address", the lock indicator, "Interface Commands".
    ui.frmAddr =
        named(new QGroupBox(QStringLiteral("Instrument Resource  Address"), this), "frmAddr");
    ui.frmAddr->setGeometry(4, 90, 398, 70);
    ui.cmdFindInst = named(new WrapButton(QStringLiteral("     Find Instruments"), ui.frmAddr),
                           "cmdFindInst", "Does a Findlstn on the server to find instruments");
    ui.cmdFindInst->setGeometry(10, 20, 104, 42);
    ui.combInst = named(editableCombo(ui.frmAddr), "combInst",
                        "Select a found instrument before creating instrument link");
    ui.combInst->setGeometry(124, 28, 134, 26);
    ui.cmdLinki =
        named(new WrapButton(QStringLiteral("   Select Inst          and Link"), ui.frmAddr),
              "cmdLinki", "Creates a VXI-11 link to an instrument (device)");
    ui.cmdLinki->setGeometry(270, 20, 118, 42);
    ui.lbliLock = named(wrapLabel(QStringLiteral(" Inst Link     Locked"), this), "lbliLock");
    ui.lbliLock->setGeometry(410, 104, 96, 44);
    {
        QPalette p = ui.lbliLock->palette();
        p.setColor(QPalette::Window, QColor(0xD0, 0x10, 0x10));
        p.setColor(QPalette::WindowText, Qt::white);
        ui.lbliLock->setPalette(p);
        QFont f = ui.lbliLock->font();
        f.setBold(true);
        ui.lbliLock->setFont(f);
    }
    ui.frm488_1 = named(new QGroupBox(QStringLiteral("Interface Commands"), this), "frm488_1");
    ui.frm488_1->setGeometry(518, 90, 136, 126);
    ui.cmdIFC = named(new QPushButton(QStringLiteral("Send IFC"), ui.frm488_1), "cmdIFC",
                      "Sends IFC (Abort) to all devices");
    ui.cmdIFC->setGeometry(10, 24, 116, 30);
    ui.cmdStatus = named(new QPushButton(QStringLiteral("Bus Status"), ui.frm488_1), "cmdStatus",
                         "Reads Bus Status from server");
    ui.cmdStatus->setGeometry(10, 76, 116, 30);

    // Row 4: "Message Terminators", "Control Signals", the keep-alive indicator.
    ui.frmTerm = named(new QGroupBox(QStringLiteral("Message Terminators"), this), "frmTerm");
    ui.frmTerm->setGeometry(4, 164, 160, 52);
    ui.ckCR = named(new QCheckBox(QStringLiteral("CR"), ui.frmTerm), "ckCR",
                    "Adds CR terminator  to command string");
    ui.ckCR->setGeometry(12, 22, 60, 22);
    ui.ckLF = named(new QCheckBox(QStringLiteral("LF"), ui.frmTerm), "ckLF",
                    "Adds linefeed terminator to command string");
    ui.ckLF->setGeometry(84, 22, 60, 22);
    ui.ckLF->setChecked(true);
    ui.frmSig = named(new QGroupBox(QStringLiteral("Control Signals"), this), "frmSig");
    ui.frmSig->setGeometry(170, 164, 232, 52);
    ui.ckRen = named(new QCheckBox(QStringLiteral("Remote(REN)"), ui.frmSig), "ckRen",
                     "Asserts REN when checked");
    ui.ckRen->setGeometry(12, 22, 124, 22);
    ui.ckRen->setChecked(true);
    ui.ckATN =
        named(new QCheckBox(QStringLiteral("ATN"), ui.frmSig), "ckATN", "Asserts ATN when checked");
    ui.ckATN->setGeometry(150, 22, 70, 22);
    ui.lblKeepAliveMsg =
        named(wrapLabel(QStringLiteral(" Keeplive      Sent"), this), "lblKeepAliveMsg");
    ui.lblKeepAliveMsg->setGeometry(410, 168, 96, 44);
    {
        // The desktop's own colours, so the flash reads as a system notice, not an alarm.
        QPalette p = ui.lblKeepAliveMsg->palette();
        p.setColor(QPalette::Window, p.color(QPalette::Highlight));
        p.setColor(QPalette::WindowText, p.color(QPalette::HighlightedText));
        ui.lblKeepAliveMsg->setPalette(p);
    }

    // Row 5: "Device Command"; the tall "Instrument Commands" at the right (rows 5 to 7).
    ui.frmCMD = named(new QGroupBox(QStringLiteral("Device Command"), this), "frmCMD");
    ui.frmCMD->setGeometry(4, 220, 508, 56);
    ui.combCmd = named(editableCombo(ui.frmCMD), "combCmd",
                       "Enter device specific commands - ASCII characters only");
    ui.combCmd->setGeometry(10, 22, 386, 26);
    ui.cmdSend = named(new QPushButton(QStringLiteral("Send"), ui.frmCMD), "cmdSend",
                       "Sends text in then Device Command String box");
    ui.cmdSend->setGeometry(406, 20, 92, 30);

    ui.frm488_2 = named(new QGroupBox(QStringLiteral("Instrument Commands"), this), "frm488_2");
    ui.frm488_2->setGeometry(518, 220, 136, 248);
    ui.ckAutoLock = named(new QCheckBox(QStringLiteral("Auto Lock"), ui.frm488_2), "ckAutoLock");
    ui.ckAutoLock->setGeometry(12, 22, 116, 22);
    ui.cmdLock = named(new QPushButton(QStringLiteral("Lock"), ui.frm488_2), "cmdLock",
                       "Locks VXI-11 access to tthe device to prevent others from using it.");
    ui.cmdUnlock = named(new QPushButton(QStringLiteral("Unlock"), ui.frm488_2), "cmdUnlock",
                         "Removes the device lock");
    ui.cmdSDC = named(new QPushButton(QStringLiteral("Device Clear"), ui.frm488_2), "cmdSDC",
                      "Sends Device Clear (SDC) message to the device");
    ui.cmdDT = named(new QPushButton(QStringLiteral("Device Trigger"), ui.frm488_2), "cmdDT",
                     "Sends Device Triger (GET) message to the device.");
    ui.cmdSpoll = named(new QPushButton(QStringLiteral("Serial Poll"), ui.frm488_2), "cmdSpoll",
                        "Serial Polls the device");
    int y = 52;
    for (QPushButton* b : {ui.cmdLock, ui.cmdUnlock, ui.cmdSDC, ui.cmdDT, ui.cmdSpoll}) {
        b->setGeometry(10, y, 116, 30);
        y += 38;
    }

    // Row 6: "Device Response".
    ui.frmResults = named(new QGroupBox(QStringLiteral("Device Response"), this), "frmResults");
    ui.frmResults->setGeometry(4, 280, 508, 132);
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
    ui.cmdRead = named(new WrapButton(QStringLiteral("Read Device Response"), ui.frmResults),
                       "cmdRead", "Reads device data");
    ui.cmdRead->setGeometry(404, 14, 96, 42);
    ui.txtResults = named(new ResultsBox(ui.frmResults), "txtResults",
                          "Displays command and device responses.");
    ui.txtResults->setGeometry(10, 60, 488, 64);

    // Row 7: "IDN Message Loop" (its buttons belong to the window), the loop counter, the logo.
    ui.frmIDNLoop = named(new QGroupBox(QStringLiteral("IDN Message Loop"), this), "frmIDNLoop");
    ui.frmIDNLoop->setGeometry(4, 416, 206, 52);
    ui.cmdIDNtst = named(new QPushButton(QStringLiteral("Run Loop"), this), "cmdIDNtst",
                         "Starts *IDN? query loop");
    ui.cmdIDNtst->setGeometry(14, 434, 88, 28);
    ui.cmdIDNtstoff = named(new QPushButton(QStringLiteral("Stop Loop"), this), "cmdIDNtstoff",
                            "Stops *IDN? query loop");
    ui.cmdIDNtstoff->setGeometry(112, 434, 88, 28);
    ui.lblCount = named(new QLabel(QStringLiteral("Loop Count"), this), "lblCount");
    ui.lblCount->setGeometry(218, 420, 82, 18);
    ui.lblCount->setVisible(false); // shown with the count while a loop runs
    ui.txtCount = named(new QLineEdit(this), "txtCount");
    ui.txtCount->setGeometry(218, 440, 82, 24);
    ui.ImageBrask = named(new QLabel(this), "ImageBrask");
    ui.ImageBrask->setGeometry(308, 418, 204, 66);
    ui.ImageBrask->setPixmap(QPixmap(QStringLiteral(":/siclquill/logo.png")));
    ui.ImageBrask->setScaledContents(true); // the picture is stretched into its box

    // Row 8: "Device Command Loop".
    ui.frmCmdLp = named(new QGroupBox(QStringLiteral("Device Command Loop"), this), "frmCmdLp");
    ui.frmCmdLp->setGeometry(4, 472, 206, 52);
    ui.cmdCmdtst = named(new QPushButton(QStringLiteral("Start Loop"), ui.frmCmdLp), "cmdCmdtst",
                         "Starts loop using text inthe Device Command box");
    ui.cmdCmdtst->setGeometry(10, 18, 88, 28);
    ui.cmdCmdtstoff = named(new QPushButton(QStringLiteral("Stop Loop"), ui.frmCmdLp),
                            "cmdCmdtstoff", "Stops Device Command loop");
    ui.cmdCmdtstoff->setGeometry(108, 18, 88, 28);

    // Row 9: "Link Timeout", the revision box, Exit at the right.
    ui.frmTimeout = named(new QGroupBox(QStringLiteral("Link Timeout"), this), "frmTimeout");
    ui.frmTimeout->setGeometry(4, 528, 300, 49);
    const char* const captions[4] = {"1 Sec", "3 Sec", "10 Sec", "None"};
    for (int i = 0; i < 4; ++i) {
        auto* option = new QRadioButton(QString::fromLatin1(captions[i]), ui.frmTimeout);
        option->setObjectName(QStringLiteral("optTimeout%1").arg(i));
        option->setGeometry(10 + i * 72, 20, 68, 22);
        ui.optTimeout[static_cast<std::size_t>(i)] = option;
    }
    ui.txtRev = named(new QLineEdit(this), "txtRev");
    ui.txtRev->setGeometry(316, 544, 150, 24);
    ui.txtRev->setReadOnly(true);
    ui.txtRev->setFrame(false);
    ui.cmdExit =
        named(new QPushButton(QStringLiteral("Exit"), this), "cmdExit", "Exits the program");
    ui.cmdExit->setGeometry(554, 540, 100, 32);

    // The loop buttons lie on the frame's area but belong to the window: keep them on top.
    ui.cmdIDNtst->raise();
    ui.cmdIDNtstoff->raise();

    ui.Timer1 = new QTimer(this);
    ui.Timer1->setObjectName(QStringLiteral("Timer1"));
    ui.Timer2 = new QTimer(this);
    ui.Timer2->setObjectName(QStringLiteral("Timer2"));
    ui.Timer2->setInterval(60000);
}

void frm1::setTabOrder() {
    const Controls& ui = m_ui;
    const QWidget* const order[] = {
        ui.cmdExit,       ui.cmdFindInst,   ui.cmdIDNtst,  ui.cmdIDNtstoff,  ui.txtCount,
        ui.cmdIFC,        ui.cmdDT,         ui.cmdSpoll,   ui.cmdSend,       ui.txtResults,
        ui.cmdRead,       ui.txtError,      ui.ckCR,       ui.ckLF,          ui.ckAutoQuery,
        ui.ckByteCnt,     ui.txtRev,        ui.cmdStatus,  ui.cmdLock,       ui.cmdUnlock,
        ui.cmdSDC,        ui.cmdHelp,       ui.ckRen,      ui.cmdLink,       ui.cmdCmdtst,
        ui.cmdCmdtstoff,  ui.combCmd,       ui.ckDispAll,  ui.combSrvrs,     ui.ckATN,
        ui.combInst,      ui.cmdLinki,      ui.ckAutoLock, ui.optTimeout[0], ui.optTimeout[1],
        ui.optTimeout[2], ui.optTimeout[3],
    };
    for (std::size_t i = 1; i < std::size(order); ++i) {
        QWidget::setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));
    }
}

void frm1::createUnits() {
    m_exchange = std::make_unique<DeviceExchange>(m_ctx);
    m_device = std::make_unique<DeviceOperations>(m_ctx, *m_exchange);
    m_read = std::make_unique<ResponseRead>(m_ctx, *m_exchange);
    m_send = std::make_unique<CommandSend>(m_ctx, *m_exchange);
    m_loops = std::make_unique<TestLoops>(m_ctx, *m_exchange);
    m_interface = std::make_unique<InterfaceOperations>(m_ctx, *m_loops);
    m_timeout = std::make_unique<LinkTimeout>(m_ctx);
    m_serverLink = std::make_unique<ServerLink>(m_ctx, *m_timeout);
    m_discovery = std::make_unique<InstrumentDiscovery>(m_ctx);
    m_instrumentLink = std::make_unique<InstrumentLink>(m_ctx, *m_timeout);
    m_keepAlive = std::make_unique<KeepAlive>(m_ctx);
}

void frm1::wire() {
    m_device->wire();
    m_read->wire();
    m_send->wire();
    m_loops->wire();
    m_interface->wire();
    m_timeout->wire();
    m_serverLink->wire();
    m_discovery->wire();
    m_instrumentLink->wire();
    m_keepAlive->wire();

    connect(m_ui.cmdExit, &QPushButton::clicked, this, [this] { cmdExit_Click(); });
    connect(m_ui.cmdHelp, &QPushButton::clicked, this, [this] { cmdHelp_Click(); });
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    f1->setObjectName(QStringLiteral("helpShortcut"));
    connect(f1, &QShortcut::activated, this, [this] { showContextHelp(); });
}

void frm1::startUp() {
    Controls& ui = m_ui;
    WindowState& st = m_state;

    ui.cmdLink->setEnabled(true);
    for (QPushButton* b : {ui.cmdLinki, ui.cmdFindInst, ui.cmdSend, ui.cmdRead, ui.cmdIDNtst,
                           ui.cmdIDNtstoff, ui.cmdCmdtst, ui.cmdCmdtstoff, ui.cmdIFC, ui.cmdStatus,
                           ui.cmdDT, ui.cmdSDC, ui.cmdSpoll, ui.cmdLock, ui.cmdUnlock}) {
        b->setEnabled(false);
    }
    ui.cmdExit->setEnabled(true);

    for (QCheckBox* c : {ui.ckAutoLock, ui.ckATN, ui.ckRen, ui.ckCR, ui.ckLF}) {
        c->setEnabled(false);
    }
    ui.ckAutoQuery->setChecked(true);
    ui.ckByteCnt->setChecked(false);

    ui.lbliLock->setVisible(false);
    ui.lblKeepAliveMsg->setVisible(false);

    for (QRadioButton* option : ui.optTimeout) {
        option->setEnabled(false);
    }

    st.readBuf = QString(100, QLatin1Char(' '));
    st.NL = QStringLiteral("\r\n");

    ui.txtRev->setText(QStringLiteral("Revised 12-20-2005"));
    ui.txtError->setText(QString());
    ui.txtResults->setText(QString());
    ui.combCmd->setEditText(QString());

    st.hDev = 0;
    st.hIntf = 0;
    st.Device = QStringLiteral("4");
    st.IDNTestFlg = 0;
    st.CMDloopFlg = 0;
    st.LpCount = 0;

    ui.txtCount->setVisible(false);
    // An interval of 0 means stopped: the timer never runs at 0 ms.
    ui.Timer1->stop();
    ui.Timer1->setInterval(0);

    ui.txtResults->setEnabled(true);
    ui.txtError->setEnabled(false); // display only: never takes the focus

    ui.combCmd->insertItem(0, QStringLiteral("*esr?"));
    ui.combCmd->insertItem(1, QStringLiteral("*idn?"));
    ui.combCmd->insertItem(2, QStringLiteral("*stb?"));
    // Filling an empty list selects its first entry; the command box starts empty.
    ui.combCmd->setCurrentIndex(-1);
    ui.combCmd->setEditText(QString());

    // F1 is bound to the help window in wire(); the first control of the tab order holds the
    // focus when the window opens.
    ui.cmdExit->setFocus();
}

void frm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_timer2Started) {
        // The keep-alive timer runs from the moment the window is shown until the program ends.
        m_timer2Started = true;
        m_ui.Timer2->start();
    }
}

void frm1::closeEvent(QCloseEvent* event) {
    // The close box ends the program (without Exit's closes); an open help window must not
    // keep it running.
    if (HelpWindow* help = m_help.data()) {
        help->close();
    }
    QWidget::closeEvent(event);
}

void frm1::mouseDoubleClickEvent(QMouseEvent* event) {
    // A double-click on the window's own background (not on a control) opens the help.
    showHelp(QString::fromLatin1(kHelpContents));
    event->accept();
}

void frm1::cmdExit_Click() {
    // A close that fails must not keep the program running: say so on stderr and go on.
    auto closeQuietly = [this](sicl::SessionId id, const char* what) {
        try {
            m_sicl.iclose(id);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "siclquill: closing the %s session failed: %s\n", what, e.what());
        }
    };
    if (m_state.hDev != 0) {
        closeQuietly(m_state.hDev, "device");
        m_ui.lbliLock->setVisible(false);
        m_state.hDev = 0;
    }
    if (m_state.hIntf != 0) {
        closeQuietly(m_state.hIntf, "interface");
        m_state.hIntf = 0;
    }
    // Nothing of the window may run after Exit: stop both timers before the program ends.
    m_ui.Timer1->stop();
    m_ui.Timer2->stop();
    close(); // also closes the help window
    m_exitAction();
}

void frm1::cmdHelp_Click() {
    showHelp(QString::fromLatin1(kHelpContents));
}

void frm1::showContextHelp() {
    QString url = QString::fromLatin1(kHelpControls);
    // The help page has one section per control, anchored by the control's name.
    for (QWidget* w = QApplication::focusWidget(); w != nullptr && w != this;
         w = w->parentWidget()) {
        if (!w->objectName().isEmpty() && w->window() == this &&
            !w->objectName().startsWith(QLatin1String("qt_"))) {
            url += QLatin1Char('#') + w->objectName();
            break;
        }
    }
    showHelp(url);
}

HelpWindow* frm1::helpWindow() const {
    return m_help.data();
}

void frm1::showHelp(const QString& url) {
    const QUrl page(url);
    const QString file = QLatin1Char(':') + page.path();
    if (!QFile::exists(file)) {
        std::fprintf(stderr, "siclquill: help page %s is missing\n", qPrintable(url));
        return;
    }
    HelpWindow* help = m_help.data();
    if (help == nullptr) {
        help = new HelpWindow(this);
        m_help = help;
        // Beside the main window rather than over it, when the screen has room.
        const QRect frame = frameGeometry();
        const QRect room = screen() != nullptr ? screen()->availableGeometry() : QRect();
        const QPoint place(frame.right() + 12, frame.top());
        if (room.contains(QRect(place, help->size()))) {
            help->move(place);
        }
    }
    help->showPage(page);
}
