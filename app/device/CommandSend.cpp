#include "app/device/CommandSend.h"

#include "app/TextBoxes.h"
#include "app/device/DeviceExchange.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>
#include <QObject>
#include <QPushButton>

#include <cstdint>
#include <functional>
#include <string>

namespace {

constexpr int kEnterKey = 13;

/// Watches the command box for Enter and runs Send; every key still reaches the box.
class EnterKeyFilter final : public QObject {
public:
    explicit EnterKeyFilter(std::function<void(int)> onKey) : m_onKey(std::move(onKey)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                m_onKey(kEnterKey);
            } else if (!key->text().isEmpty()) {
                m_onKey(key->text().front().unicode());
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void(int)> m_onKey;
};

} // namespace

CommandSend::CommandSend(WindowContext& ctx, DeviceExchange& exchange)
    : m_ctx(ctx), m_exchange(exchange) {}

CommandSend::~CommandSend() = default;

QString CommandSend::notLatin1Message() {
    return QStringLiteral(
        "Device command holds characters that cannot be sent (8-bit text only), nothing sent to "
        "the device");
}

void CommandSend::cmdSend_Click() {
    WindowState& st = m_ctx.st;
    Controls& ui = m_ctx.ui;
    m_ctx.report.clearError();
    if (st.hDev == 0) {
        m_ctx.report.resultLine(QStringLiteral("No devices found. Select and link a device"));
        m_ctx.report.showError();
        m_ctx.report.beep();
        return;
    }
    const QString typed = ui.combCmd->currentText();
    // The instrument takes 8-bit text: a character without a Latin-1 byte would be changed
    // or lost on the way, so such a command is refused before anything reaches the device.
    auto command = toLatin1Bytes(typed);
    if (!command) {
        m_ctx.report.resultLine(notLatin1Message());
        m_ctx.report.beep();
        return;
    }
    m_exchange.autoLock();
    st.Sendlock = 1;
    if (command->empty()) {
        m_ctx.report.resultLine(
            QStringLiteral("Device command box empty, nothing sent to the device"));
        m_ctx.report.beep();
        return;
    }
    const std::string bytes = m_exchange.withTerminators(std::move(*command));
    m_ctx.report.trap(QStringLiteral("Send error"), [&] {
        m_exchange.write(bytes);
        if (m_exchange.readFollows(bytes)) {
            // The read resets Sendlock and, after a successful read, unlocks.
            m_exchange.read();
            return;
        }
        m_ctx.report.resultLine(QStringLiteral("Send String => ") + fromLatin1Bytes(bytes));
        m_exchange.autoUnlock();
        st.Sendlock = 0;
    });
}

void CommandSend::combCmd_KeyPress(int key) {
    if (key == kEnterKey) {
        cmdSend_Click();
    }
}

void CommandSend::ckCR_Click() {
    m_ctx.report.trap(QStringLiteral("Termination character error"), [this] {
        if (m_ctx.ui.ckCR->isChecked()) {
            m_ctx.sicl.itermchr(m_ctx.st.hDev, 13);
        }
    });
}

void CommandSend::ckLF_Click() {
    m_ctx.report.trap(QStringLiteral("Termination character error"), [this] {
        if (m_ctx.ui.ckLF->isChecked()) {
            m_ctx.sicl.itermchr(m_ctx.st.hDev, 10);
        }
    });
}

void CommandSend::wire() {
    const Controls& ui = m_ctx.ui;
    QObject::connect(ui.cmdSend, &QPushButton::clicked, ui.cmdSend, [this] { cmdSend_Click(); });
    QObject::connect(ui.ckCR, &QCheckBox::toggled, ui.ckCR, [this] { ckCR_Click(); });
    QObject::connect(ui.ckLF, &QCheckBox::toggled, ui.ckLF, [this] { ckLF_Click(); });
    // On the combo box itself: a real Enter reaches it either directly or, ignored by the
    // line edit, by propagation, so Send runs once per key press.
    m_enterFilter = std::make_unique<EnterKeyFilter>([this](int key) { combCmd_KeyPress(key); });
    ui.combCmd->installEventFilter(m_enterFilter.get());
}
