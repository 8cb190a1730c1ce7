#include "app/device/DeviceExchange.h"

#include "app/TextBoxes.h"

#include <QCheckBox>
#include <QLabel>

#include <algorithm>
#include <cstdint>

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

void DeviceExchange::lock() {
    // No link check here: the exchange runs this as its lock step and relies on a failure (no
    // device included) being reported by the library call itself.
    m_ctx.report.trap(QStringLiteral("Lock error"), [this] {
        m_ctx.sicl.ilock(m_ctx.st.hDev);
        m_ctx.report.clearError();
        m_ctx.report.resultLine(QStringLiteral("Device ") + signSpaced(m_ctx.st.pad) +
                                QStringLiteral(" locked"));
        m_ctx.ui.lbliLock->setVisible(true);
        // On screen before the write or read that follows blocks in the library.
        m_ctx.ui.lbliLock->repaint();
        m_ctx.st.Sendlock = 1;
        m_ctx.st.MsgSentFlg = 1;
    });
}

void DeviceExchange::unlock() {
    m_ctx.report.trap(QStringLiteral("Unlock error"), [this] {
        m_ctx.sicl.iunlock(m_ctx.st.hDev);
        m_ctx.report.clearError();
        m_ctx.report.resultLine(QStringLiteral("Device ") + signSpaced(m_ctx.st.pad) +
                                QStringLiteral(" unlocked"));
        m_ctx.ui.lbliLock->setVisible(false);
        m_ctx.st.Sendlock = 0;
        m_ctx.st.MsgSentFlg = 1;
    });
}

void DeviceExchange::autoLock() {
    if (m_ctx.ui.ckAutoLock->isChecked()) {
        lock();
    }
}

void DeviceExchange::autoUnlock() {
    if (m_ctx.ui.ckAutoLock->isChecked()) {
        unlock();
    }
}

std::string DeviceExchange::withTerminators(std::string command) const {
    if (m_ctx.ui.ckCR->isChecked()) {
        command.push_back('\r');
    }
    if (m_ctx.ui.ckLF->isChecked()) {
        command.push_back('\n');
    }
    return command;
}

void DeviceExchange::write(const std::string& bytes) {
    std::int32_t written = 0;
    m_ctx.sicl.iwrite(m_ctx.st.hDev, bytes, static_cast<std::int32_t>(bytes.size()), 1, written);
    m_ctx.report.clearError();
    m_ctx.st.MsgSentFlg = 1;
}

bool DeviceExchange::readFollows(const std::string& bytes) const {
    return bytes.find('?') != std::string::npos && m_ctx.ui.ckAutoQuery->isChecked();
}

void DeviceExchange::read() {
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
    if (st.Sendlock == 0) {
        autoLock();
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
        autoUnlock();
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
