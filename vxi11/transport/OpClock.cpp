#include "vxi11/transport/OpClock.h"

#include <algorithm>
#include <limits>

namespace vxi11 {

using std::chrono::milliseconds;

namespace {

/// Never send an io_timeout below this: 0 means nothing defined to gateways.
constexpr std::uint32_t kMinIoTimeoutMs = 10;
/// The gateway's "no time-out": the largest value the field holds.
constexpr std::uint32_t kForever = 0xFFFFFFFFu;
/// The margin is this fraction of the time-out (1/20 = 5 %) when that exceeds the least margin.
constexpr std::int32_t kMarginDivisor = 20;

} // namespace

OpClock::OpClock(std::int32_t timeoutMs, milliseconds leastMargin)
    : m_unlimited(timeoutMs == 0),
      m_margin(std::max(leastMargin, milliseconds(timeoutMs / kMarginDivisor))),
      m_end(m_unlimited ? net::Deadline::never() : net::Deadline::after(milliseconds(timeoutMs))) {}

net::Deadline OpClock::abortBy() const {
    return m_end.extendedBy(m_margin).earlier(net::Deadline::after(m_margin - replyMargin()));
}

CallTiming OpClock::next() const {
    if (m_unlimited) {
        return CallTiming{kForever, kForever, net::Deadline::never(), true};
    }
    return timing(left(), 0, false);
}

CallTiming OpClock::waitingForLock() const {
    const std::uint32_t ms = left();
    const std::uint32_t lock = ms / 2;
    return timing(std::max(ms - lock, kMinIoTimeoutMs), lock, true);
}

CallTiming OpClock::forLock() const {
    if (m_unlimited) {
        return next();
    }
    return timing(0, left(), true); // device_lock has no I/O time-out
}

std::uint32_t OpClock::left() const {
    const auto ms = std::max<std::int64_t>(m_end.remaining().count(), kMinIoTimeoutMs);
    return static_cast<std::uint32_t>(
        std::min<std::int64_t>(ms, std::numeric_limits<std::uint32_t>::max() / 2));
}

CallTiming OpClock::timing(std::uint32_t io, std::uint32_t lock, bool waitLock) const {
    const milliseconds gateway(std::uint64_t{io} + lock);
    return CallTiming{io, lock, net::Deadline::after(gateway + replyMargin()), waitLock};
}

} // namespace vxi11
