#pragma once

#include "app/WindowContext.h"

class DeviceExchange;

/// The IEEE-488 operations on the linked instrument: serial poll, device clear, device trigger,
/// lock and unlock, and the Auto Lock box that hands locking over to send, read and the loops.
class DeviceOperations {
public:
    DeviceOperations(WindowContext& ctx, DeviceExchange& exchange)
        : m_ctx(ctx), m_exchange(exchange) {}

    /// Serial poll: shows the status byte.
    void cmdSpoll_Click();
    /// Device clear on the device session.
    void cmdSDC_Click();
    /// Device trigger on the device session.
    void cmdDT_Click();
    /// Locks the device; shows the lock indicator and sets Sendlock.
    void cmdLock_Click();
    /// Unlocks the device; hides the lock indicator and clears Sendlock.
    void cmdUnlock_Click();
    /// Switches between manual and automatic locking (runs on every change of the box).
    void ckAutoLock_Click();

    /// Connects this unit's controls to its handlers.
    void wire();

private:
    /// Shared shape of serial poll, device clear and trigger: false when no device is linked.
    bool linkCheck();

    WindowContext& m_ctx;
    DeviceExchange& m_exchange;
};
