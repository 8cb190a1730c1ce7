#pragma once

#include <chrono>
#include <optional>

namespace net {

/// A point in monotonic time by which an operation must end, or "never".
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    static Deadline never() noexcept { return Deadline(); }
    static Deadline after(std::chrono::milliseconds span) noexcept {
        return Deadline(Clock::now() + span);
    }
    static Deadline at(Clock::time_point when) noexcept { return Deadline(when); }

    bool isNever() const noexcept { return !m_when.has_value(); }
    bool expired() const noexcept { return m_when && Clock::now() >= *m_when; }
    /// Time left, 0 when expired; only meaningful when not never().
    std::chrono::milliseconds remaining() const noexcept;
    /// Time left as a poll() argument: -1 for never, rounded up so a poll never returns early.
    int pollTimeoutMs() const noexcept;
    /// The earlier of two deadlines.
    Deadline earlier(const Deadline& other) const noexcept;
    /// This deadline moved later by `span` (never stays never).
    Deadline extendedBy(std::chrono::milliseconds span) const noexcept;

private:
    Deadline() = default;
    explicit Deadline(Clock::time_point when) : m_when(when) {}
    std::optional<Clock::time_point> m_when;
};

} // namespace net
