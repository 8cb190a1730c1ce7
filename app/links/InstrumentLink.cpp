#include "app/links/InstrumentLink.h"

#include "app/Controls.h"
#include "app/Reporting.h"
#include "app/links/LinkStage.h"
#include "app/links/LinkSupport.h"
#include "app/links/LinkTimeout.h"

#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>

#include <cmath>

namespace {

/// The leading decimal number of a group of characters, rounded half to even into 16 bits:
/// non-digits end it, and no digits give 0.
std::int16_t groupValue(QStringView group) {
    qsizetype i = 0;
    while (i < group.size() && group[i] == QLatin1Char(' ')) {
        ++i;
    }
    const qsizetype start = i;
    if (i < group.size() && (group[i] == QLatin1Char('+') || group[i] == QLatin1Char('-'))) {
        ++i;
    }
    while (i < group.size() && group[i].isDigit() && group[i].unicode() < 0x80) {
        ++i;
    }
    if (i < group.size() && group[i] == QLatin1Char('.')) {
        ++i;
        while (i < group.size() && group[i].isDigit() && group[i].unicode() < 0x80) {
            ++i;
        }
    }
    bool ok = false;
    const double value = group.mid(start, i - start).toDouble(&ok);
    // A group holds at most two characters here, so the value always fits.
    return ok ? static_cast<std::int16_t>(std::nearbyint(value)) : std::int16_t{0};
}

} // namespace

std::optional<InstrumentLink::AddressForm> InstrumentLink::readAddress(const QString& text) {
    const auto value = links::addressValue(text);
    if (!value) {
        return std::nullopt;
    }
    AddressForm form;
    form.value = *value;
    if (*value >= 0 && *value <= 30) {
        form.kind = AddressForm::Kind::Primary;
        form.pad = static_cast<std::int16_t>(std::nearbyint(*value));
        form.sad = 0;
    } else if (*value > 100 && *value <= 3030) {
        const QStringView t(text);
        if (t.size() == 3) {
            form.kind = AddressForm::Kind::Secondary;
            form.pad = groupValue(t.mid(0, 1));
            form.sad = groupValue(t.mid(1, 2));
        } else if (t.size() == 4) {
            form.kind = AddressForm::Kind::Secondary;
            form.pad = groupValue(t.mid(0, 2));
            form.sad = groupValue(t.mid(2, 2));
        } else {
            form.kind = AddressForm::Kind::LengthRefused;
        }
    }
    return form;
}

void InstrumentLink::cmdLinki_Click() {
    Controls& ui = m_ctx.ui;
    WindowState& st = m_ctx.st;

    m_ctx.report.clearError();
    // A box whose value changes runs its handler, while the old device session is still open:
    // the new session gets no termination character from them.
    links::resetExchangeBoxes(ui);
    links::leaveStagesAbove(ui, links::LinkStage::ServerLink);
    ui.combCmd->setEditText(QString());

    links::closeDeviceSession(m_ctx);

    st.Device = ui.combInst->currentText();
    const auto form = readAddress(st.Device);
    if (!form) {
        // Nothing can be sent for a text that is not a number; the window stays as above.
        m_ctx.report.errorNotice(QString::fromLatin1(kNotANumber));
        return;
    }
    switch (form->kind) {
    case AddressForm::Kind::Primary:
    case AddressForm::Kind::Secondary:
        st.pad = form->pad;
        st.sad = form->sad;
        break;
    case AddressForm::Kind::LengthRefused:
        m_ctx.report.errorNotice(QString::fromLatin1(kLengthRefused));
        return;
    case AddressForm::Kind::Other:
        // Not an address form: the library decides, and pad and sad keep their values.
        break;
    }

    m_ctx.report.trap(QStringLiteral("Create device link error"), [&] {
        st.linkAddr = links::deviceAddress(ui.combSrvrs->currentText(), form->value);
        st.hDev = m_ctx.sicl.iopen(links::addressBytes(st.linkAddr));

        m_ctx.report.resultLine(QStringLiteral("Link created to instrument at ") + st.serverName +
                                QLatin1Char(',') + signSpaced(st.pad) + QLatin1Char(',') +
                                signSpaced(st.sad));

        links::enterStage(ui, links::LinkStage::InstrumentLink);

        // The selected time-out covers the new session too; with "None" the session keeps the
        // library's own. A refusal fails the link (the session stays open).
        for (int i = 0; i < 3; ++i) {
            if (ui.optTimeout[static_cast<std::size_t>(i)]->isChecked()) {
                m_timeout.apply(i);
            }
        }
        st.MsgSentFlg = 1;
    });
}

void InstrumentLink::combInst_Change() {
    m_ctx.ui.cmdLinki->setEnabled(true);
}

void InstrumentLink::wire() {
    Controls& ui = m_ctx.ui;
    QObject::connect(ui.cmdLinki, &QPushButton::clicked, ui.cmdLinki, [this] { cmdLinki_Click(); });
    // Any change of the text counts, however it comes: typing, pasting, an accessibility tool
    // or a test tool setting it. Picking an entry counts even when the text stays the same.
    // The program's own emptying of the list is kept quiet (links::emptyInstrumentList).
    QObject::connect(ui.combInst, &QComboBox::editTextChanged, ui.combInst,
                     [this] { combInst_Change(); });
    QObject::connect(ui.combInst, &QComboBox::activated, ui.combInst,
                     [this] { combInst_Change(); });
}
