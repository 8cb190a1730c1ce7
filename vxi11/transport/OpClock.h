#pragma once

#include "library/LibraryError.h"
#include "net/Deadline.h"
#include "vxi11/codec/Vxi11Types.h"
#include "vxi11/transport/CoreLink.h"

#include <chrono>
#include <cstdint>

namespace vxi11 {

/// The clock of one library entry: a deadline from the session's time-out, and the limits each
/// core call of the entry gets from what is left of it.
///
/// Past the time-out the client waits at most a margin: 5 % of the time-out, and never less
/// than the library's least margin. Three quarters of it go to the gateway's reply (which may
/// come a little after the time-out the gateway was sent) and the rest to a device_abort that
/// frees a link whose call went unanswered.
class OpClock {
public:
    OpClock(std::int32_t timeoutMs, std::chrono::milliseconds leastMargin);

    bool unlimited() const { return m_unlimited; }

    /// Deadline for work done wholly on this side (look-up, connect, portmapper).
    net::Deadline replyBy() const { return m_end.extendedBy(replyMargin()); }

    /// Deadline for the device_abort after a call went unanswered: the rest of the margin.
    net::Deadline abortBy() const;

    /// First try of a call that needs the device: the gateway gets what is left of the
    /// time-out for the I/O and must not wait for a lock, so nothing else counts against it.
    CallTiming next() const;

    /// The call again after the device was found locked by another link. A gateway counts
    /// the wait for a lock apart from the I/O, so both must fit what is left: half of it for
    /// the lock, the rest for the I/O.
    CallTiming waitingForLock() const;

    /// device_lock: all of what is left for the lock.
    CallTiming forLock() const;

private:
    std::chrono::milliseconds replyMargin() const { return m_margin - m_margin / 4; }
    /// What is left of the time-out in ms, at least the smallest io_timeout ever sent.
    std::uint32_t left() const;
    /// The gateway may take the lock wait and then the I/O; the reply is waited for that long
    /// plus the reply's part of the margin.
    CallTiming timing(std::uint32_t io, std::uint32_t lock, bool waitLock) const;

    bool m_unlimited;
    std::chrono::milliseconds m_margin;
    net::Deadline m_end;
};

/// Runs a core call that needs the device: first without waiting for a lock; if another
/// link holds it, once more waiting for it within the time-out.
template <typename Call>
auto withLockWait(const OpClock& clock, Call call) {
    try {
        return call(clock.next());
    } catch (const library::LibraryError& e) {
        if (e.number() != err::kDeviceLockedByAnotherLink || clock.unlimited()) {
            throw;
        }
    }
    return call(clock.waitingForLock());
}

} // namespace vxi11
