#include "app/links/InstrumentDiscovery.h"

#include "app/Controls.h"
#include "app/Reporting.h"
#include "app/links/LinkStage.h"
#include "app/links/LinkSupport.h"

#include <QComboBox>
#include <QPushButton>

#include <array>
#include <stdexcept>
#include <string>

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

        const int talk = kTalkBase + st.Ctlraddr;
        if (talk < 0 || talk > 0xFF) {
            // No command byte can carry this talk address; sending a wrapped byte would
            // address some other device.
            throw std::runtime_error("interface bus address " + std::to_string(st.Ctlraddr) +
                                     " is out of range");
        }

        // Found addresses in ascending order, then the end mark -1.
        std::array<std::int16_t, 33> foundList{};
        int found = 0;
        for (std::int16_t a = 0; a <= 30; ++a) {
            if (a == st.Ctlraddr) {
                continue;
            }
            const std::string probe{kUNL, static_cast<char>(talk),
                                    static_cast<char>(kListenBase + a)};
            st.linkAddr = fromLatin1Bytes(probe);
            sicl.igpibsendcmd(st.hIntf, probe, 3);
            sicl.igpibatnctl(st.hIntf, 0);
            std::int16_t ndac = 0;
            sicl.igpibbusstatus(st.hIntf, sicl::busstatus::kNdac, ndac);
            if (ndac != 0) {
                // A device accepted the listen address and holds NDAC.
                foundList[static_cast<std::size_t>(found++)] = a;
            }
            const std::string unlisten{kUNL};
            st.linkAddr = fromLatin1Bytes(unlisten);
            sicl.igpibsendcmd(st.hIntf, unlisten, 1);
        }
        foundList[static_cast<std::size_t>(found)] = -1;

        for (std::size_t i = 0; foundList[i] != -1; ++i) {
            ui.combInst->addItem(plainNumber(foundList[i]));
        }

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
