#pragma once

#include "app/WindowContext.h"

/// Finds the primary addresses at which a device listens, by addressing each one as listener
/// on the interface session and watching NDAC.
class InstrumentDiscovery {
public:
    explicit InstrumentDiscovery(WindowContext& ctx) : m_ctx(ctx) {}

    /// Find Instruments: closes the device session, scans addresses 0 to 30 and lists the
    /// listeners found in combInst.
    void cmdFindInst_Click();

    /// Connects Find Instruments to its handler.
    void wire();

private:
    WindowContext& m_ctx;
};
