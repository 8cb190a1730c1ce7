#pragma once

#include "app/WindowContext.h"

class DeviceExchange;

/// The Read Device Response button: one read through the exchange path.
class ResponseRead {
public:
    ResponseRead(WindowContext& ctx, DeviceExchange& exchange) : m_ctx(ctx), m_exchange(exchange) {}

    /// The Read operation.
    void cmdRead_Click();

    /// Connects this unit's controls to its handlers.
    void wire();

private:
    WindowContext& m_ctx;
    DeviceExchange& m_exchange;
};
