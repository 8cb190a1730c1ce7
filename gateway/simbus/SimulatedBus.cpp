#include "gateway/simbus/SimulatedBus.h"

#include "gateway/simbus/SimTurn.h"

#include <algorithm>

namespace gateway {

SimulatedBus::SimulatedBus(const std::vector<InstrumentConfig>& instruments,
                           const std::vector<InstrumentConfig>& lanInstruments, int busAddress,
                           std::size_t maxQueueBytes)
    : m_bus(instruments, busAddress, maxQueueBytes) {
    m_lan.reserve(lanInstruments.size());
    for (const InstrumentConfig& c : lanInstruments) {
        m_lan.emplace_back(c, maxQueueBytes);
    }
    m_lanSeen.assign(m_lan.size(), Seen{});
    m_busSeen.assign(m_bus.instruments().size(), Seen{});
}

// ---- names ---------------------------------------------------------------------------------

Instrument* SimulatedBus::lanInstrument(std::string_view name) {
    // The set and the names never change, so finding needs no lock.
    const auto same = [name](const Instrument& i) { return sameIgnoringCase(name, i.name()); };
    const auto it = std::find_if(m_lan.begin(), m_lan.end(), same);
    return it == m_lan.end() ? nullptr : &*it;
}

Device SimulatedBus::find(const DeviceName& name) {
    Device d{name, name.canonical(), 0};
    if (!name.isInterface && name.lan.empty()) {
        // Addresses never change: no lock needed.
        d.ref = reinterpret_cast<std::uintptr_t>(m_bus.find(name.pad, name.sad));
    } else if (!name.lan.empty()) {
        d.ref = reinterpret_cast<std::uintptr_t>(lanInstrument(name.lan));
    }
    return d;
}

std::optional<Device> SimulatedBus::findLan(std::string_view name) {
    Instrument* i = lanInstrument(name);
    if (i == nullptr) {
        return std::nullopt;
    }
    DeviceName lan;
    lan.isInterface = false;
    lan.lan = i->name();
    return Device{lan, lan.canonical(), reinterpret_cast<std::uintptr_t>(i)};
}

std::optional<Device> SimulatedBus::defaultLan() {
    if (m_lan.empty()) {
        return std::nullopt;
    }
    return findLan(m_lan.front().name());
}

// ---- turns ---------------------------------------------------------------------------------

BusStatus SimulatedBus::hold(const Until& until, FunctionRef<void(BusTurn&)> body) {
    std::vector<std::string> risen;
    {
        Lock lk(m_mutex);
        if (m_stopping) {
            return BusStatus::Gone;
        }
        SimTurn turn(*this, lk, until);
        body(turn);
        // Every turn ends with a look: whatever it did may have raised a request, and looking
        // while the mutex is still held costs no second lock.
        lookLocked(risen);
    }
    // Operations waiting in other turns look again at what this one changed.
    m_changed.notify_all();
    if (m_listener) {
        for (const std::string& source : risen) {
            m_listener(source);
        }
    }
    return BusStatus::Done;
}

void SimulatedBus::wake() {
    // Taking the mutex first means no waiter is between its checks and its sleep.
    { const Lock lk(m_mutex); }
    m_changed.notify_all();
}

void SimulatedBus::stop() {
    {
        const Lock lk(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
}

// ---- service requests ----------------------------------------------------------------------

bool SimulatedBus::risenSince(Instrument& i, Clock::time_point now, Seen& seen, bool& stood) {
    const bool requesting = i.requestingService(now);
    const std::uint32_t requests = i.serviceRequests();
    // Counted rather than compared by level: a request that fell and rose again between two
    // looks is new, and a call that only lets one fall need not look at all.
    const bool risen = requesting && requests != seen.requests;
    stood = requesting && seen.requesting && !risen;
    seen = Seen{requesting, requests};
    return risen;
}

void SimulatedBus::lookLocked(std::vector<std::string>& risen) {
    const auto now = Clock::now();
    // Each bus instrument's own request, for protocols that deliver it to that instrument's
    // sessions alone (one instrument may ask while the line is already held by another), and
    // the line, which is any of them: one pass, as this runs after every turn.
    std::vector<Instrument>& onBus = m_bus.instruments();
    bool srq = false;
    bool lineStood = false; // some instrument held the line since the last look
    for (std::size_t i = 0; i < onBus.size(); ++i) {
        bool stood = false;
        if (risenSince(onBus[i], now, m_busSeen[i], stood)) {
            DeviceName name;
            name.isInterface = false;
            name.pad = onBus[i].pad();
            name.sad = onBus[i].sad();
            risen.push_back(name.canonical());
        }
        srq = srq || m_busSeen[i].requesting;
        lineStood = lineStood || stood;
    }
    // The line rose unless one instrument held it all along (it may have fallen and risen
    // between two looks, when the only one holding it let go and asked again).
    if (srq && !(m_lastSrq && lineStood)) {
        risen.insert(risen.begin(), std::string(kInterfaceName)); // the line first
    }
    m_lastSrq = srq;
    // A LAN instrument is not on the bus: its request is its own, not the line's.
    for (std::size_t i = 0; i < m_lan.size(); ++i) {
        bool stood = false;
        if (risenSince(m_lan[i], now, m_lanSeen[i], stood)) {
            risen.push_back(m_lan[i].name());
        }
    }
}

// ---- observation ---------------------------------------------------------------------------

BusSnapshot SimulatedBus::snapshot() {
    const Lock lk(m_mutex);
    return m_bus.snapshot(Clock::now());
}

std::optional<InstrumentSnapshot> SimulatedBus::instrument(int pad, std::optional<int> sad) {
    const Lock lk(m_mutex);
    Instrument* i = m_bus.find(pad, sad);
    if (i == nullptr) {
        return std::nullopt;
    }
    return i->snapshot(Clock::now());
}

std::optional<InstrumentSnapshot> SimulatedBus::instrument(std::string_view lanName) {
    Instrument* i = lanInstrument(lanName);
    if (i == nullptr) {
        return std::nullopt;
    }
    const Lock lk(m_mutex);
    return i->snapshot(Clock::now());
}

bool SimulatedBus::setInstrumentFaults(int pad, std::optional<int> sad,
                                       const InstrumentFaults& faults) {
    {
        const Lock lk(m_mutex);
        Instrument* i = m_bus.find(pad, sad);
        if (i == nullptr) {
            return false;
        }
        i->setFaults(faults);
    }
    m_changed.notify_all();
    return true;
}

} // namespace gateway
