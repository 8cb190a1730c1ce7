#include "app/links/LinkTimeout.h"

#include "app/Controls.h"

#include <QRadioButton>

void LinkTimeout::apply(int index) {
    if (index < 0 || index >= static_cast<int>(kMilliseconds.size())) {
        return;
    }
    const std::int32_t ms = kMilliseconds[static_cast<std::size_t>(index)];
    // The interface session is not tested first: a refusal for a closed session is reported
    // like any other library failure.
    m_ctx.sicl.itimeout(m_ctx.st.hIntf, ms);
    if (m_ctx.st.hDev != 0) {
        m_ctx.sicl.itimeout(m_ctx.st.hDev, ms);
    }
}

void LinkTimeout::optTimeout_Click(int index) {
    m_ctx.report.trap(QStringLiteral("Set link timeout error"), [&] { apply(index); });
}

void LinkTimeout::choose(int index) {
    QRadioButton* option = m_ctx.ui.optTimeout.at(static_cast<std::size_t>(index));
    if (option->isChecked()) {
        // Choosing the chosen option again changes nothing, so nothing would run.
        optTimeout_Click(index);
    } else {
        option->setChecked(true);
    }
}

void LinkTimeout::wire() {
    for (int i = 0; i < static_cast<int>(m_ctx.ui.optTimeout.size()); ++i) {
        QRadioButton* option = m_ctx.ui.optTimeout[static_cast<std::size_t>(i)];
        // Whatever makes an option the chosen one runs its handling: a click, the arrow keys,
        // code, or an accessibility tool's Toggle.
        QObject::connect(option, &QRadioButton::toggled, option, [this, i](bool chosen) {
            if (chosen) {
                optTimeout_Click(i);
            }
        });
        // A click on the option that is already chosen emits no toggled; it applies the option
        // again all the same.
        QObject::connect(option, &QRadioButton::pressed, option,
                         [this, option] { m_pressedWhileChosen = option->isChecked(); });
        QObject::connect(option, &QRadioButton::clicked, option, [this, i] {
            if (m_pressedWhileChosen) {
                m_pressedWhileChosen = false;
                optTimeout_Click(i);
            }
        });
    }
}
