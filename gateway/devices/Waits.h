#pragma once
// The clock of the gateway, and how the calls that wait (for a lock, for an answer, for the
// bus) end.

#include <chrono>
#include <functional>

namespace gateway {

using Clock = std::chrono::steady_clock;

/// How a wait ended.
enum class WaitEnd {
    Ready,   ///< what was waited for happened
    Timeout, ///< the deadline passed
    Aborted, ///< the call was aborted (VXI-11 device_abort)
    Gone     ///< the server stops or the client went away: the call gets no reply
};

/// True once the caller's client has gone away. Called from the waiting thread.
using GoneCheck = std::function<bool()>;

/// A waiting call looks this often whether its client went away meanwhile.
inline constexpr std::chrono::milliseconds kGoneCheckInterval{100};

/// A wait with no deadline of its own lies this far off (it ends by its stop).
inline constexpr auto kFarOff = std::chrono::hours(24 * 365);

} // namespace gateway
