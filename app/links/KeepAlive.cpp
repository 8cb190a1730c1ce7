#include "app/links/KeepAlive.h"

#include "app/Controls.h"
#include "app/Reporting.h"
#include "app/links/InstrumentLink.h"
#include "app/links/LinkSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QTimer>

#include <stdexcept>

void KeepAlive::Timer2_Timer() {
    Controls& ui = m_ctx.ui;
    WindowState& st = m_ctx.st;
    if (st.MsgSentFlg == 0 && st.hIntf != 0) {
        ui.lblKeepAliveMsg->setVisible(true);
        ui.lblKeepAliveMsg->repaint();
        // A gateway that stopped answering is worth a report; the program goes on.
        m_ctx.report.trap(QStringLiteral("Keep-alive error"), [&] {
            if (st.hDev != 0) {
                // A second, short-lived session at the linked instrument keeps its link busy
                // without touching the user's session.
                const auto address = links::addressValue(st.Device);
                if (!address) {
                    throw std::runtime_error(InstrumentLink::kNotANumber);
                }
                st.linkAddr = links::deviceAddress(ui.combSrvrs->currentText(), *address);
                const sicl::SessionId probe = m_ctx.sicl.iopen(links::addressBytes(st.linkAddr));
                if (probe != 0) {
                    m_ctx.sicl.iclose(probe);
                }
            }
            // The probe asks for the REN line; its answer is not used.
            std::int16_t ren = 0;
            m_ctx.sicl.igpibbusstatus(st.hIntf, sicl::busstatus::kRen, ren);
            waitSecs(kFlashSecs);
        });
        ui.lblKeepAliveMsg->setVisible(false);
    }
    st.MsgSentFlg = 0;
}

void KeepAlive::wire() {
    QObject::connect(m_ctx.ui.Timer2, &QTimer::timeout, m_ctx.ui.Timer2,
                     [this] { Timer2_Timer(); });
}
