#pragma once

#include "app/WindowContext.h"

/// Exercises an idle link once a timer period has passed without any operation.
class KeepAlive {
public:
    /// How long the indicator stays up, in seconds.
    static constexpr double kFlashSecs = 0.1;

    explicit KeepAlive(WindowContext& ctx) : m_ctx(ctx) {}

    /// One tick of Timer2.
    void Timer2_Timer();

    /// Connects Timer2 to the tick.
    void wire();

private:
    WindowContext& m_ctx;
};
