#include "app/device/ResponseRead.h"

#include "app/device/DeviceExchange.h"

#include <QPushButton>

void ResponseRead::cmdRead_Click() {
    m_exchange.read();
}

void ResponseRead::wire() {
    QObject::connect(m_ctx.ui.cmdRead, &QPushButton::clicked, m_ctx.ui.cmdRead,
                     [this] { cmdRead_Click(); });
}
