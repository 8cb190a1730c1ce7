#pragma once

#include "app/WindowContext.h"

class DeviceOperations;

/// Reads one response from the linked instrument and shows it in the response box.
class ResponseRead {
public:
    ResponseRead(WindowContext& ctx, DeviceOperations& device) : m_ctx(ctx), m_device(device) {}

    /// The Read operation; also run by Send after a query and by the test loops.
    void cmdRead_Click();

    /// Connects this unit's controls to its handlers.
    void wire();

private:
    WindowContext& m_ctx;
    DeviceOperations& m_device;
};
