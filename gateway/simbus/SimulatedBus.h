#pragma once
// The simulated bench behind the device seam: an IEEE-488 bus of simulated IEEE 488.2
// instruments and the LAN instruments beside it, behind one mutex. A turn holds the mutex; an
// operation that waits (for an answer to become readable, for its deadline) lets it go while it
// sleeps and wakes when another turn changed something. The service requests that rose in a
// turn are found before it lets go of the mutex and told to the listener after.

#include "gateway/devices/DeviceBus.h"
#include "gateway/instrument/Snapshots.h"
#include "gateway/simbus/Bus.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gateway {

class SimulatedBus final : public DeviceBus {
public:
    SimulatedBus(const std::vector<InstrumentConfig>& instruments,
                 const std::vector<InstrumentConfig>& lanInstruments, int busAddress,
                 std::size_t maxQueueBytes);

    Device find(const DeviceName& name) override;
    std::optional<Device> findLan(std::string_view name) override;
    std::optional<Device> defaultLan() override;
    BusStatus hold(const Until& until, FunctionRef<void(BusTurn&)> body) override;
    void wake() override;
    void stop() override;
    /// Every turn looks for requests that rose, whether anyone wants them or not.
    void routeServiceRequests(Listener listener, std::function<bool()> /*wanted*/) override {
        m_listener = std::move(listener);
    }

    // ---- For the composition root: what tests observe, and their faults.
    BusSnapshot snapshot();
    std::optional<InstrumentSnapshot> instrument(int pad, std::optional<int> sad);
    std::optional<InstrumentSnapshot> instrument(std::string_view lanName);
    bool setInstrumentFaults(int pad, std::optional<int> sad, const InstrumentFaults& faults);

private:
    friend class SimTurn;
    using Lock = std::unique_lock<std::mutex>;

    /// An instrument's request as the last look saw it.
    struct Seen {
        bool requesting = false;
        std::uint32_t requests = 0; ///< Instrument::serviceRequests()
    };
    /// Whether `i`'s request is new since `seen` (which then follows), and whether it has
    /// stood since.
    static bool risenSince(Instrument& i, Clock::time_point now, Seen& seen, bool& stood);
    /// The sources whose service request rose since the last look (the mutex held).
    void lookLocked(std::vector<std::string>& risen);
    Instrument* lanInstrument(std::string_view name);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    Bus m_bus;
    std::vector<Instrument> m_lan; ///< built once, never resized: devices keep pointers
    bool m_stopping = false;
    Listener m_listener;
    bool m_lastSrq = false;      ///< SRQ as last seen, to tell its rising edge
    std::vector<Seen> m_busSeen; ///< each bus instrument's request as last seen
    std::vector<Seen> m_lanSeen; ///< each LAN instrument's request as last seen
};

} // namespace gateway
