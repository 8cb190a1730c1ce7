#include "app/interface/InterfaceOperations.h"

#include "app/loops/TestLoops.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

#include <cstdint>

void InterfaceOperations::cmdStatus_Click() {
    m_ctx.report.clearError();
    m_ctx.report.trap(QStringLiteral("Read Status error"), [this] {
        // The library answers any non-zero value for an asserted line; show it as 1.
        const auto line = [this](std::int16_t request) {
            std::int16_t v = 0;
            m_ctx.sicl.igpibbusstatus(m_ctx.st.hIntf, request, v);
            return signSpaced(v != 0 ? 1 : 0);
        };
        m_ctx.report.resultLine(QStringLiteral("REN =") + line(sicl::busstatus::kRen));
        m_ctx.report.appendedLine(QStringLiteral("SRQ =") + line(sicl::busstatus::kSrq));
        m_ctx.report.appendedLine(QStringLiteral("NDAC =") + line(sicl::busstatus::kNdac));
        m_ctx.st.MsgSentFlg = 1;
    });
}

void InterfaceOperations::cmdIFC_Click() {
    m_ctx.report.clearError();
    m_ctx.ui.combCmd->setEditText(QString());
    m_ctx.report.trap(QStringLiteral("Send IFC error"), [this] {
        m_ctx.sicl.iclear(m_ctx.st.hIntf);
        // Interface clear leaves REN asserted and ATN released; a box that changes runs its
        // own handler, which tells the bus and reports for itself.
        m_ctx.ui.ckRen->setChecked(true);
        m_ctx.ui.ckATN->setChecked(false);
        m_loops.stopBothLoops();
        m_ctx.report.resultLine(QStringLiteral("IFC Sent"));
    });
}

void InterfaceOperations::ckATN_Click() {
    m_ctx.report.clearError();
    if (m_ctx.st.hIntf == 0) {
        return;
    }
    const std::int16_t value = m_ctx.ui.ckATN->isChecked() ? 1 : 0;
    m_ctx.report.trap(QStringLiteral("Check ATN error"), [this, value] {
        m_ctx.sicl.igpibatnctl(m_ctx.st.hIntf, value);
        m_ctx.report.resultLine(value == 1 ? QStringLiteral("ATN Asserted")
                                           : QStringLiteral("ATN deasserted"));
    });
}

void InterfaceOperations::ckRen_Click() {
    m_ctx.report.clearError();
    if (m_ctx.st.hIntf == 0) {
        return;
    }
    const std::int16_t value = m_ctx.ui.ckRen->isChecked() ? 1 : 0;
    m_ctx.report.trap(QStringLiteral("Check REN error"), [this, value] {
        m_ctx.sicl.igpibrenctl(m_ctx.st.hIntf, value);
        m_ctx.report.resultLine(value == 1 ? QStringLiteral("REN Asserted")
                                           : QStringLiteral("REN deasserted"));
    });
}

void InterfaceOperations::wire() {
    const Controls& ui = m_ctx.ui;
    QObject::connect(ui.cmdStatus, &QPushButton::clicked, ui.cmdStatus,
                     [this] { cmdStatus_Click(); });
    QObject::connect(ui.cmdIFC, &QPushButton::clicked, ui.cmdIFC, [this] { cmdIFC_Click(); });
    QObject::connect(ui.ckATN, &QCheckBox::toggled, ui.ckATN, [this] { ckATN_Click(); });
    QObject::connect(ui.ckRen, &QCheckBox::toggled, ui.ckRen, [this] { ckRen_Click(); });
}
