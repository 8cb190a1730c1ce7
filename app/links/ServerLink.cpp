#include "app/links/ServerLink.h"

#include "app/Controls.h"
#include "app/TextBoxes.h"
#include "app/links/LinkSupport.h"
#include "app/links/LinkTimeout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>

void ServerLink::cmdLink_Click() {
    Controls& ui = m_ctx.ui;
    WindowState& st = m_ctx.st;

    // The old report must be gone from the screen before the open blocks the window.
    m_ctx.report.clearError();
    if (QWidget* owner = ui.txtError->parentWidget()) {
        owner->repaint(ui.txtError->geometry());
    }

    for (QPushButton* b : {ui.cmdFindInst, ui.cmdLinki, ui.cmdIFC, ui.cmdStatus, ui.cmdSend,
                           ui.cmdRead, ui.cmdIDNtst, ui.cmdIDNtstoff, ui.cmdCmdtst, ui.cmdCmdtstoff,
                           ui.cmdLock, ui.cmdUnlock, ui.cmdSDC, ui.cmdDT, ui.cmdSpoll}) {
        b->setEnabled(false);
    }
    for (QCheckBox* c : {ui.ckCR, ui.ckLF, ui.ckRen, ui.ckATN, ui.ckAutoLock}) {
        c->setEnabled(false);
    }
    // Each box whose value changes runs its handler here, while the old device session is
    // still open.
    ui.ckAutoLock->setChecked(false);
    ui.ckCR->setChecked(false);
    ui.ckLF->setChecked(true);
    ui.ckAutoQuery->setEnabled(false);
    ui.ckByteCnt->setEnabled(false);

    ui.combInst->clear();
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

        ui.cmdFindInst->setEnabled(true);
        ui.cmdIFC->setEnabled(true);
        ui.cmdStatus->setEnabled(true);
        ui.ckRen->setEnabled(true);
        ui.ckATN->setEnabled(true);
        // A box that was unchecked asserts its line on the new session through its handler.
        ui.ckRen->setChecked(true);
        ui.ckATN->setChecked(true);

        ui.combSrvrs->setEditText(server);
        st.serverName = server;
        m_ctx.report.resultLine(QStringLiteral("Link created to server ") + st.serverName);

        for (QRadioButton* option : ui.optTimeout) {
            option->setEnabled(true);
        }
    });
    if (!linked) {
        return;
    }
    // Every new interface session gets 3000 ms, even when "3 Sec" is already selected (and so
    // selecting it again would run nothing).
    ui.optTimeout[1]->setChecked(true);
    m_timeout.optTimeout_Click(1);
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
