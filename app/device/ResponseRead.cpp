#include "app/device/ResponseRead.h"

#include "app/TextBoxes.h"
#include "app/device/DeviceOperations.h"

#include <QCheckBox>
#include <QPushButton>

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

/// The response as it is displayed: cut before the first CR, or else before the first LF,
/// unless every character is wanted; trailing blanks (the unfilled buffer) removed.
std::string shownText(std::string bytes, bool displayAll) {
    if (!displayAll) {
        auto cut = bytes.find('\r');
        if (cut == std::string::npos) {
            cut = bytes.find('\n');
        }
        if (cut != std::string::npos) {
            bytes.resize(cut);
        }
    }
    const auto last = bytes.find_last_not_of(' ');
    bytes.resize(last == std::string::npos ? 0 : last + 1);
    return bytes;
}

} // namespace

void ResponseRead::cmdRead_Click() {
    WindowState& st = m_ctx.st;
    Controls& ui = m_ctx.ui;
    m_ctx.report.clearError();
    if (st.hDev == 0) {
        m_ctx.report.resultLine(
            QStringLiteral("No devices linked. Select a device and create link"));
        m_ctx.report.showError();
        m_ctx.report.beep();
        return;
    }
    // A send that locked first has left Sendlock at 1: one lock per exchange.
    if (ui.ckAutoLock->isChecked() && st.Sendlock == 0) {
        m_device.cmdLock_Click();
    }
    st.Sendlock = 0;
    // A fresh buffer for every read, so nothing of a longer earlier response shows through.
    std::string buffer = toLatin1Bytes(st.readBuf).value_or(std::string(100, ' '));
    const auto bufferSize = static_cast<std::int32_t>(buffer.size());
    if (st.CMDloopFlg == 0 && st.IDNTestFlg == 0) {
        m_ctx.report.progressLine(QStringLiteral("Device Read: Waiting for device response"));
    }
    m_ctx.report.trap(QStringLiteral("Read error"), [&] {
        std::int32_t reason = 0;
        std::int32_t received = 0;
        m_ctx.sicl.iread(st.hDev, buffer, bufferSize, reason, received);
        st.MsgSentFlg = 1;
        if (ui.ckAutoLock->isChecked()) {
            m_device.cmdUnlock_Click();
        }
        // Only the bytes received count; a library that reports more than the buffer holds
        // cannot make the display read past it.
        const auto valid = std::clamp<std::int32_t>(received, 0, bufferSize);
        buffer.resize(static_cast<std::size_t>(valid));
        const std::string text = shownText(std::move(buffer), ui.ckDispAll->isChecked());
        m_ctx.report.clearError();
        m_ctx.report.resultLine(fromLatin1Bytes(text));
        if (ui.ckByteCnt->isChecked()) {
            m_ctx.report.appendedLine(QStringLiteral("Byte count= ") + signSpaced(received));
        }
    });
}

void ResponseRead::wire() {
    QObject::connect(m_ctx.ui.cmdRead, &QPushButton::clicked, m_ctx.ui.cmdRead,
                     [this] { cmdRead_Click(); });
}
