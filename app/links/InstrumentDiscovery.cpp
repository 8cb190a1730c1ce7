#include "app/links/InstrumentDiscovery.h"

#include "app/Controls.h"
#include "app/Reporting.h"
#include "app/links/LinkStage.h"
#include "app/links/LinkSupport.h"
#include "sicl/ListenerScan.h"

#include <QComboBox>
#include <QPushButton>

#include <string>
#include <vector>

void InstrumentDiscovery::cmdFindInst_Click() {
    Controls& ui = m_ctx.ui;
    WindowState& st = m_ctx.st;
    sicl::Sicl32Module& sicl = m_ctx.sicl;

    m_ctx.report.clearError();
    // A box whose value changes runs its handler, while the old device session is still open.
    links::resetExchangeBoxes(ui);
    links::leaveStagesAbove(ui, links::LinkStage::ServerLink);
    links::emptyInstrumentList(ui);
    ui.combCmd->setEditText(QString());

    links::closeDeviceSession(m_ctx);

    // The bus-address request is trapped with the scan: a gateway that fails it fails the scan.
    m_ctx.report.trap(QStringLiteral("Create device link error"), [&] {
        std::int16_t own = 0;
        sicl.igpibbusstatus(st.hIntf, sicl::busstatus::kBusAddress, own);
        st.Ctlraddr = own;
        m_ctx.report.progressLine(
            QStringLiteral("FindInst: Wait while looking for VXI-11 devices"));

        // Each probe's command bytes are the last link address the window used.
        sicl::ListenerScanOptions options;
        options.onProbe = [&st](const std::string& bytes) { st.linkAddr = fromLatin1Bytes(bytes); };
        const std::vector<sicl::Listener> listeners =
            sicl::scanListeners(sicl, st.hIntf, st.Ctlraddr, options);

        // The listeners come in ascending order, which is the order of the list.
        for (const sicl::Listener& l : listeners) {
            ui.combInst->addItem(plainNumber(l.pad));
        }
        const int found = static_cast<int>(listeners.size());

        if (found == 0) {
            m_ctx.report.resultLine(QStringLiteral("FindInst: No VXI-11 devices found"));
            return;
        }
        m_ctx.report.resultLine(
            QStringLiteral("FindInst: Found ") + signSpaced(found) +
            (found == 1 ? QStringLiteral(" VXI-11 device") : QStringLiteral(" VXI-11 devices")));
        m_ctx.report.appendedLine(QStringLiteral("Select a device and press Create Link"));
        ui.cmdLinki->setEnabled(true);
        st.MsgSentFlg = 1;
    });
}

void InstrumentDiscovery::wire() {
    QObject::connect(m_ctx.ui.cmdFindInst, &QPushButton::clicked, m_ctx.ui.cmdFindInst,
                     [this] { cmdFindInst_Click(); });
}
