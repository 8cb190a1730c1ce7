#pragma once

#include "app/WindowContext.h"

/// Finds the primary addresses at which a device listens, by addressing each one as listener
/// on the interface session and watching NDAC.
class InstrumentDiscovery {
public:
    /// Unlisten (UNL), the first byte of every probe and the byte that ends it.
    static constexpr char kUNL = 0x3F;
    /// Base of the talk addresses (MTA) and listen addresses (MLA).
    static constexpr int kTalkBase = 0x40;
    static constexpr int kListenBase = 0x20;

    explicit InstrumentDiscovery(WindowContext& ctx) : m_ctx(ctx) {}

    /// Find Instruments: closes the device session, scans addresses 0 to 30 and lists the
    /// listeners found in combInst.
    void cmdFindInst_Click();

    /// Connects Find Instruments to its handler.
    void wire();

private:
    WindowContext& m_ctx;
};
