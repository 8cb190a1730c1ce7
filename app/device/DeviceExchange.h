#pragma once

#include "app/WindowContext.h"

#include <string>

/// One exchange with the linked instrument, the one path that Send, Read and both test loops
/// take: lock when Auto Lock is on, write with the chosen terminators, read when asked, unlock.
/// The lock steps are the Lock and Unlock operations themselves, and the read step is the
/// whole Read operation, so every caller reports the same way.
class DeviceExchange {
public:
    explicit DeviceExchange(WindowContext& ctx) : m_ctx(ctx) {}

    /// Lock: locks the device; on success shows the lock indicator at once and sets Sendlock.
    /// Reports its own failure ("Lock error").
    void lock();
    /// Unlock: releases the lock; on success hides the indicator and clears Sendlock. Reports
    /// its own failure ("Unlock error").
    void unlock();
    /// Runs Lock when Auto Lock is checked.
    void autoLock();
    /// Runs Unlock when Auto Lock is checked.
    void autoUnlock();

    /// `command` followed by CR, then LF, as the terminator boxes say.
    std::string withTerminators(std::string command) const;
    /// Writes `bytes` to the device session with END on the last byte; raises the library's
    /// error. After a successful write the error box is hidden (a failed auto-lock's report
    /// included) and the activity mark is set.
    void write(const std::string& bytes);
    /// True when a read follows the write of `bytes`: they hold a "?" and Auto Query is checked.
    bool readFollows(const std::string& bytes) const;
    /// Read: reads one response (100 bytes at most) and shows it, with the Auto Lock bracket
    /// unless a send has already locked for this exchange. Reports its own failures.
    void read();

private:
    WindowContext& m_ctx;
};
