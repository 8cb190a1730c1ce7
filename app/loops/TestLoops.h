#pragma once

#include "app/WindowContext.h"

#include <string>

class DeviceOperations;
class ResponseRead;

/// The repeating *IDN? query loop and command loop, driven by Timer1.
class TestLoops {
public:
    /// Timer1's interval while a loop may run.
    static constexpr int kTickMs = 250;

    TestLoops(WindowContext& ctx, DeviceOperations& device, ResponseRead& read)
        : m_ctx(ctx), m_device(device), m_read(read) {}

    /// Starts the query loop.
    void cmdIDNtst_Click();
    /// Stops the query loop.
    void cmdIDNtstoff_Click();
    /// Starts the command loop, unless the command box is empty.
    void cmdCmdtst_Click();
    /// Stops the command loop.
    void cmdCmdtstoff_Click();
    /// One pass of each loop that is on, then the count.
    void Timer1_Timer();
    /// Switches both loops off and resets their buttons (interface clear); the timer and the
    /// count stay as they are.
    void stopBothLoops();

    /// Connects this unit's controls and Timer1 to its handlers.
    void wire();

private:
    /// Sets Timer1's interval; 0 stops the timer rather than running it at 0 ms.
    void setTimer1Interval(int ms);
    /// Hides the counter, resets it and stops the timer once neither loop is on.
    void resetWhenBothOff();
    /// The command with the chosen terminators appended.
    std::string withTerminators(std::string command) const;
    /// Writes `bytes` and, for a query with Auto Query, reads the answer. Raises on a write
    /// failure.
    void writePass(const std::string& bytes);

    WindowContext& m_ctx;
    DeviceOperations& m_device;
    ResponseRead& m_read;
};
