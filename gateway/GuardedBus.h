#pragma once
// The bus and its instruments behind one mutex, and the waits of calls for them: an answer
// to become readable, or a time-out to pass. A wait also ends on abort, on stop, and when the
// client goes away.

#include "gateway/Bus.h"
#include "gateway/CallContext.h"
#include "gateway/Config.h"
#include "gateway/DeviceName.h"
#include "gateway/Snapshots.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gateway {

class GuardedBus {
public:
    using Lock = std::unique_lock<std::mutex>;

    GuardedBus(const std::vector<InstrumentConfig>& instruments,
               const std::vector<InstrumentConfig>& lanInstruments, int busAddress,
               std::size_t maxQueueBytes);

    /// Locks the bus; the bus and the LAN instruments may be used while the lock is held.
    Lock lock() { return Lock(m_mutex); }
    Bus& bus() { return m_bus; }
    /// The LAN instrument named `name` (without regard to case), if there is one. The set and
    /// the names never change, so finding needs no lock; using the instrument does.
    Instrument* findLan(std::string_view name);

    /// Waits, with `lk` held, until `ready()` holds or `deadline` passes, `aborted()` says the
    /// call was aborted, the server stops or the client goes away. `wakeHint` may name an
    /// earlier moment when `ready()` can change by itself (a slow answer becoming readable).
    template <typename Aborted, typename Ready, typename WakeHint>
    WaitEnd waitFor(Lock& lk, Clock::time_point deadline, const CallContext& call, Aborted aborted,
                    Ready ready, WakeHint wakeHint);
    /// Wakes the waiting calls to look again (the caller has unlocked the bus).
    void changed() { m_changed.notify_all(); }
    /// Wakes the waiting calls from another thread (an abort came).
    void wake();
    /// Ends every wait (with Gone): the server stops.
    void stop();

    /// The sources whose service request has risen since the last look: kInterfaceName for
    /// the bus's SRQ line, and each instrument's own request by its canonical device name
    /// ("gpib0,22", a LAN instrument's name).
    std::vector<std::string> srqRisen();
    /// The first LAN instrument, the default of protocols that name no device; null if none.
    Instrument* defaultLan() { return m_lan.empty() ? nullptr : &m_lan.front(); }

    BusSnapshot snapshot();
    std::optional<InstrumentSnapshot> instrument(int pad, std::optional<int> sad);
    std::optional<InstrumentSnapshot> instrument(std::string_view lanName);
    bool setInstrumentFaults(int pad, std::optional<int> sad, const InstrumentFaults& faults);

private:
    /// How long to sleep at most before looking again.
    static Clock::time_point nextLook(Clock::time_point deadline, Clock::time_point now,
                                      std::optional<Clock::time_point> hint);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    Bus m_bus;
    std::vector<Instrument> m_lan; ///< built once, never resized: links keep pointers
    bool m_stopping = false;
    /// An instrument's request as the last look saw it.
    struct Seen {
        bool requesting = false;
        std::uint32_t requests = 0; ///< Instrument::serviceRequests()
    };
    /// Whether `i`'s request is new since `seen` (which then follows), and whether it has
    /// stood since.
    static bool risenSince(Instrument& i, Clock::time_point now, Seen& seen, bool& stood);

    bool m_lastSrq = false;      ///< SRQ as last seen, to tell its rising edge
    std::vector<Seen> m_busSeen; ///< each bus instrument's request as last seen
    std::vector<Seen> m_lanSeen; ///< each LAN instrument's request as last seen
};

template <typename Aborted, typename Ready, typename WakeHint>
WaitEnd GuardedBus::waitFor(Lock& lk, Clock::time_point deadline, const CallContext& call,
                            Aborted aborted, Ready ready, WakeHint wakeHint) {
    for (;;) {
        if (ready()) {
            return WaitEnd::Ready;
        }
        if (m_stopping) {
            return WaitEnd::Gone;
        }
        if (aborted()) {
            return WaitEnd::Aborted;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return WaitEnd::Timeout;
        }
        m_changed.wait_until(lk, nextLook(deadline, now, wakeHint()));
        if (call.gone()) {
            return WaitEnd::Gone;
        }
    }
}

} // namespace gateway
