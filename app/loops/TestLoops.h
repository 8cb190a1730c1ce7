#pragma once

#include "app/WindowContext.h"

#include <string>

class DeviceExchange;

/// The repeating *IDN? query loop and command loop, driven by Timer1.
class TestLoops {
public:
    /// Timer1's interval while a loop may run.
    static constexpr int kTickMs = 250;

    TestLoops(WindowContext& ctx, DeviceExchange& exchange) : m_ctx(ctx), m_exchange(exchange) {}

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
    /// One pass of a loop over `command`, on the exchange path of Send: lock when Auto Lock is
    /// on, write with the terminators, read the answer to a query when Auto Query is on. Each
    /// step's label is prepared in the error box first; raises on a write failure.
    void pass(const std::string& command);

    WindowContext& m_ctx;
    DeviceExchange& m_exchange;
};
