#include "app/device/DeviceOperations.h"

#include "app/TextBoxes.h"
#include "app/device/DeviceExchange.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

#include <cstdint>

bool DeviceOperations::linkCheck() {
    if (m_ctx.st.hDev != 0) {
        return true;
    }
    m_ctx.report.resultLine(QStringLiteral("No devices linked. Select and link to a device"));
    m_ctx.report.showError();
    m_ctx.report.beep();
    return false;
}

void DeviceOperations::cmdSpoll_Click() {
    m_ctx.report.clearError();
    m_ctx.report.resultLine(QString());
    if (!linkCheck()) {
        return;
    }
    m_ctx.report.trap(QStringLiteral("Read Status Byte error"), [this] {
        std::int16_t stb = 0;
        m_ctx.sicl.ireadstb(m_ctx.st.hDev, stb);
        m_ctx.report.clearError();
        m_ctx.report.resultLine(QStringLiteral("Serial poll response => ") + signSpaced(stb));
        m_ctx.st.MsgSentFlg = 1;
    });
}

void DeviceOperations::cmdSDC_Click() {
    m_ctx.report.clearError();
    m_ctx.ui.combCmd->setEditText(QString());
    m_ctx.report.resultLine(QString());
    if (!linkCheck()) {
        return;
    }
    m_ctx.report.trap(QStringLiteral("Device Clear error"), [this] {
        m_ctx.sicl.iclear(m_ctx.st.hDev);
        m_ctx.report.clearError();
        m_ctx.report.resultLine(QStringLiteral("Device Clear sent to device ") +
                                signSpaced(m_ctx.st.pad));
        m_ctx.st.MsgSentFlg = 1;
    });
}

void DeviceOperations::cmdDT_Click() {
    m_ctx.report.clearError();
    m_ctx.ui.combCmd->setEditText(QString());
    m_ctx.report.resultLine(QString());
    if (!linkCheck()) {
        return;
    }
    m_ctx.report.trap(QStringLiteral("Device Trigger error"), [this] {
        m_ctx.sicl.itrigger(m_ctx.st.hDev);
        m_ctx.report.clearError();
        m_ctx.report.resultLine(QStringLiteral("Device Trigger sent to device ") +
                                signSpaced(m_ctx.st.pad));
        m_ctx.st.MsgSentFlg = 1;
    });
}

void DeviceOperations::cmdLock_Click() {
    m_exchange.lock();
}

void DeviceOperations::cmdUnlock_Click() {
    m_exchange.unlock();
}

void DeviceOperations::ckAutoLock_Click() {
    if (m_ctx.ui.ckAutoLock->isChecked()) {
        if (m_ctx.st.Sendlock == 1) {
            // A lock is already held for an exchange: automatic mode would lock it twice.
            // Unchecking runs this handler again, which takes the branch below.
            m_ctx.ui.ckAutoLock->setChecked(false);
        } else {
            m_ctx.ui.cmdLock->setEnabled(false);
            m_ctx.ui.cmdUnlock->setEnabled(false);
        }
    } else {
        m_ctx.ui.cmdLock->setEnabled(true);
        m_ctx.ui.cmdUnlock->setEnabled(true);
    }
}

void DeviceOperations::wire() {
    const Controls& ui = m_ctx.ui;
    QObject::connect(ui.cmdSpoll, &QPushButton::clicked, ui.cmdSpoll, [this] { cmdSpoll_Click(); });
    QObject::connect(ui.cmdSDC, &QPushButton::clicked, ui.cmdSDC, [this] { cmdSDC_Click(); });
    QObject::connect(ui.cmdDT, &QPushButton::clicked, ui.cmdDT, [this] { cmdDT_Click(); });
    QObject::connect(ui.cmdLock, &QPushButton::clicked, ui.cmdLock, [this] { cmdLock_Click(); });
    QObject::connect(ui.cmdUnlock, &QPushButton::clicked, ui.cmdUnlock,
                     [this] { cmdUnlock_Click(); });
    QObject::connect(ui.ckAutoLock, &QCheckBox::toggled, ui.ckAutoLock,
                     [this] { ckAutoLock_Click(); });
}
