#include "app/loops/TestLoops.h"

#include "app/TextBoxes.h"
#include "app/device/CommandSend.h"
#include "app/device/DeviceExchange.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdint>
#include <optional>

namespace {

/// The command loop's text as 8-bit bytes; nothing when a character has no 8-bit form.
std::optional<std::string> commandBytes(const QComboBox& box) {
    return toLatin1Bytes(box.currentText());
}

} // namespace

void TestLoops::setTimer1Interval(int ms) {
    QTimer& timer = *m_ctx.ui.Timer1;
    if (ms <= 0) {
        // An interval of 0 means "no ticks"; a QTimer at 0 ms would fire on every idle turn.
        timer.stop();
        timer.setInterval(0);
        return;
    }
    // Setting the same interval again must not restart the period of a running timer.
    if (timer.isActive() && timer.interval() == ms) {
        return;
    }
    timer.setInterval(ms);
    timer.start();
}

void TestLoops::resetWhenBothOff() {
    if (m_ctx.st.IDNTestFlg != 0 || m_ctx.st.CMDloopFlg != 0) {
        return;
    }
    m_ctx.ui.txtCount->setVisible(false);
    m_ctx.ui.lblCount->setVisible(false);
    m_ctx.st.LpCount = 0;
    setTimer1Interval(0);
}

void TestLoops::cmdIDNtst_Click() {
    m_ctx.ui.combCmd->setEditText(QStringLiteral("*idn?"));
    setTimer1Interval(kTickMs);
    m_ctx.st.IDNTestFlg = 1;
    m_ctx.ui.cmdIDNtst->setEnabled(false);
    m_ctx.ui.cmdIDNtstoff->setEnabled(true);
}

void TestLoops::cmdIDNtstoff_Click() {
    m_ctx.st.IDNTestFlg = 0;
    m_ctx.ui.cmdIDNtst->setEnabled(true);
    m_ctx.ui.cmdIDNtstoff->setEnabled(false);
    resetWhenBothOff();
}

void TestLoops::cmdCmdtst_Click() {
    const QString text = m_ctx.ui.combCmd->currentText();
    if (text.isEmpty()) {
        m_ctx.report.beep();
        m_ctx.report.resultLine(QStringLiteral(
            "No command specified.  Enter a command before starting the Command Loop"));
        return;
    }
    if (!toLatin1Bytes(text)) {
        m_ctx.report.beep();
        m_ctx.report.resultLine(CommandSend::notLatin1Message());
        return;
    }
    m_ctx.st.CMDloopFlg = 1;
    setTimer1Interval(kTickMs);
    m_ctx.ui.cmdCmdtst->setEnabled(false);
    m_ctx.ui.cmdCmdtstoff->setEnabled(true);
}

void TestLoops::cmdCmdtstoff_Click() {
    m_ctx.st.CMDloopFlg = 0;
    m_ctx.ui.cmdCmdtst->setEnabled(true);
    m_ctx.ui.cmdCmdtstoff->setEnabled(false);
    resetWhenBothOff();
}

void TestLoops::stopBothLoops() {
    m_ctx.st.IDNTestFlg = 0;
    m_ctx.ui.cmdIDNtst->setEnabled(true);
    m_ctx.ui.cmdIDNtstoff->setEnabled(false);
    m_ctx.st.CMDloopFlg = 0;
    m_ctx.ui.cmdCmdtst->setEnabled(true);
    m_ctx.ui.cmdCmdtstoff->setEnabled(false);
    m_ctx.ui.txtCount->setVisible(false);
    m_ctx.ui.lblCount->setVisible(false);
}

void TestLoops::pass(const std::string& command) {
    WindowState& st = m_ctx.st;
    m_exchange.autoLock();
    st.Sendlock = 1; // also when the lock reported a failure of its own
    m_ctx.report.clearError();
    const std::string bytes = m_exchange.withTerminators(command);
    // A loop's failure text names the failing step only; it is shown if that step fails.
    m_ctx.report.prepareReport(QStringLiteral("Write error"));
    m_exchange.write(bytes);
    if (m_exchange.readFollows(bytes)) {
        m_ctx.report.prepareReport(QStringLiteral("Read error"));
        m_exchange.read();
    }
}

void TestLoops::Timer1_Timer() {
    WindowState& st = m_ctx.st;
    Controls& ui = m_ctx.ui;
    if (st.IDNTestFlg == 0 && st.CMDloopFlg == 0) {
        return;
    }
    const bool passed = m_ctx.report.trapPrepared([&] {
        if (st.IDNTestFlg == 1) {
            pass("*IDN?");
        }
        if (st.CMDloopFlg == 1) {
            const auto command = commandBytes(*ui.combCmd);
            if (!command || command->empty()) {
                m_ctx.report.beep();
                m_ctx.report.errorNotice(!command ? CommandSend::notLatin1Message()
                                                  : QStringLiteral("Command box empty"));
            } else {
                pass(*command);
            }
        }
    });
    if (!passed) {
        m_exchange.autoUnlock();
        // A successful unlock hides the error box but keeps its text, the loop's failure,
        // which must stay in view; a failed unlock has shown its own report instead.
        m_ctx.report.showError();
        st.Sendlock = 0;
        st.IDNTestFlg = 0;
        st.CMDloopFlg = 0;
        return;
    }
    ui.txtCount->setVisible(true);
    ui.lblCount->setVisible(true);
    ++st.LpCount;
    ui.txtCount->setText(plainNumber(st.LpCount));
}

void TestLoops::wire() {
    const Controls& ui = m_ctx.ui;
    QObject::connect(ui.cmdIDNtst, &QPushButton::clicked, ui.cmdIDNtst,
                     [this] { cmdIDNtst_Click(); });
    QObject::connect(ui.cmdIDNtstoff, &QPushButton::clicked, ui.cmdIDNtstoff,
                     [this] { cmdIDNtstoff_Click(); });
    QObject::connect(ui.cmdCmdtst, &QPushButton::clicked, ui.cmdCmdtst,
                     [this] { cmdCmdtst_Click(); });
    QObject::connect(ui.cmdCmdtstoff, &QPushButton::clicked, ui.cmdCmdtstoff,
                     [this] { cmdCmdtstoff_Click(); });
    QObject::connect(ui.Timer1, &QTimer::timeout, ui.Timer1, [this] { Timer1_Timer(); });
}
