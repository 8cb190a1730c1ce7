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

void LinkTimeout::wire() {
    for (int i = 0; i < static_cast<int>(m_ctx.ui.optTimeout.size()); ++i) {
        QRadioButton* option = m_ctx.ui.optTimeout[static_cast<std::size_t>(i)];
        // `clicked` is the user's click (or arrow key); code that selects an option calls
        // optTimeout_Click itself, because selecting a selected option emits nothing.
        QObject::connect(option, &QRadioButton::clicked, option,
                         [this, i] { optTimeout_Click(i); });
    }
}
