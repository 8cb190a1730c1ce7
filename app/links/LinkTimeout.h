#pragma once

#include "app/WindowContext.h"

#include <array>
#include <cstdint>

/// The link time-out options: how long a library call on the links may wait.
class LinkTimeout {
public:
    /// Milliseconds by option index: "1 Sec", "3 Sec", "10 Sec", "None" (0 = no time-out).
    static constexpr std::array<std::int32_t, 4> kMilliseconds{1000, 3000, 10000, 0};

    explicit LinkTimeout(WindowContext& ctx) : m_ctx(ctx) {}

    /// Pushes option `index`'s time-out into the interface session and, when one is open, the
    /// device session. Raises the library's error to the caller; an index outside 0 to 3 does
    /// nothing.
    void apply(int index);
    /// Option `index` became the chosen one, or the chosen one was clicked again: apply() with
    /// a report of its own when the library refuses.
    void optTimeout_Click(int index);
    /// Chooses option `index` and applies it once, whether or not it was already chosen.
    void choose(int index);

    /// Connects the four options to optTimeout_Click.
    void wire();

private:
    WindowContext& m_ctx;
    /// The option pressed last was already the chosen one (so its click changes nothing).
    bool m_pressedWhileChosen = false;
};
