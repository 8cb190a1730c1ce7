#include "app/links/ServerLink.h"

#include "app/Controls.h"
#include "app/TextBoxes.h"
#include "app/links/LinkStage.h"
#include "app/links/LinkSupport.h"
#include "app/links/LinkTimeout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

void ServerLink::cmdLink_Click() {
    Controls& ui = m_ctx.ui;
    WindowState& st = m_ctx.st;

    // The old report must be gone from the screen before the open blocks the window.
    m_ctx.report.clearError();
    if (QWidget* owner = ui.txtError->parentWidget()) {
        owner->repaint(ui.txtError->geometry());
    }

    // Each box whose value changes runs its handler here, while the old device session is
    // still open.
    links::resetExchangeBoxes(ui);
    links::leaveStagesAbove(ui, links::LinkStage::NoLink);
    links::emptyInstrumentList(ui);
    ui.combCmd->setEditText(QString());

    const bool devClosed = links::closeDeviceSession(m_ctx);
    const bool intfClosed = links::closeInterfaceSession(m_ctx);

    const bool linked = m_ctx.report.trap(QStringLiteral("Create interface link error"), [&] {
        QString server = ui.combSrvrs->currentText();
        if (server.isEmpty()) {
            server = QString::fromLatin1(links::kDefaultServer);
        }
        st.linkAddr = links::interfaceAddress(server);
        st.hIntf = m_ctx.sicl.iopen(links::addressBytes(st.linkAddr));

        links::enterStage(ui, links::LinkStage::ServerLink);
        // Only a box that was unchecked runs its handler, which drives its line on the new
        // session: REN starts checked and so is not asserted here.
        ui.ckRen->setChecked(true);
        ui.ckATN->setChecked(true);

        ui.combSrvrs->setEditText(server);
        st.serverName = server;
        m_ctx.report.resultLine(QStringLiteral("Link created to server ") + st.serverName);
    });
    if (!linked) {
        return;
    }
    // Every new interface session gets 3000 ms, even when "3 Sec" is already selected.
    m_timeout.choose(1);
    st.MsgSentFlg = 1;
    if (!devClosed || !intfClosed) {
        // The REN and ATN handlers hide the error box as they start; the report of the failed
        // close (or a later one that replaced it) must stay in view.
        m_ctx.report.showError();
    }
}

void ServerLink::wire() {
    QObject::connect(m_ctx.ui.cmdLink, &QPushButton::clicked, m_ctx.ui.cmdLink,
                     [this] { cmdLink_Click(); });
    // combSrvrs has no handler: its text is read when Create Link is clicked.
}
