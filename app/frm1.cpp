#include "app/frm1.h"

#include "app/Accessibility.h"
#include "app/HelpWindow.h"
#include "app/TextBoxes.h"
#include "app/WindowControls.h"
#include "app/device/CommandSend.h"
#include "app/device/DeviceExchange.h"
#include "app/device/DeviceOperations.h"
#include "app/device/ResponseRead.h"
#include "app/interface/InterfaceOperations.h"
#include "app/links/InstrumentDiscovery.h"
#include "app/links/InstrumentLink.h"
#include "app/links/KeepAlive.h"
#include "app/links/LinkStage.h"
#include "app/links/LinkTimeout.h"
#include "app/links/ServerLink.h"
#include "app/loops/TestLoops.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QUrl>

#include <cstdio>

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

    createWindowControls(m_ui, *this);
    setTabOrder();
    setUpAccessibility(m_ui);
    createUnits();
    wire();
    startUp();
}

frm1::~frm1() = default;

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

    // The window-level state already holds its start-up values (WindowState's initialisers).
    links::enableForStartUp(ui);
    // ckRen and ckLF keep the checked state they were created with, although disabled.
    ui.ckAutoQuery->setChecked(true);
    ui.ckByteCnt->setChecked(false);

    ui.lbliLock->setVisible(false);
    ui.lblKeepAliveMsg->setVisible(false);

    ui.txtRev->setText(QStringLiteral("Revised 12-20-2005"));
    ui.txtError->setText(QString());
    ui.txtResults->setText(QString());
    ui.combCmd->setEditText(QString());

    ui.txtCount->setVisible(false);
    // An interval of 0 means stopped: the timer never runs at 0 ms.
    ui.Timer1->stop();
    ui.Timer1->setInterval(0);

    ui.txtResults->setEnabled(true);
    ui.txtError->setEnabled(false); // display only: never takes the focus

    // Filling the list leaves the command box's text empty.
    ui.combCmd->insertItem(0, QStringLiteral("*esr?"));
    ui.combCmd->insertItem(1, QStringLiteral("*idn?"));
    ui.combCmd->insertItem(2, QStringLiteral("*stb?"));

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
