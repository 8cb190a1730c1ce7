#include "gateway/GuardedBus.h"

#include <algorithm>
#include <cctype>

namespace gateway {

GuardedBus::GuardedBus(const std::vector<InstrumentConfig>& instruments,
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

Instrument* GuardedBus::findLan(std::string_view name) {
    // Instruments compare device names without regard to case.
    const auto same = [name](const Instrument& i) { return sameIgnoringCase(name, i.name()); };
    const auto it = std::find_if(m_lan.begin(), m_lan.end(), same);
    return it == m_lan.end() ? nullptr : &*it;
}

Clock::time_point GuardedBus::nextLook(Clock::time_point deadline, Clock::time_point now,
                                       std::optional<Clock::time_point> hint) {
    // At least every so often, to notice a client that went away meanwhile.
    auto until = std::min(deadline, now + kGoneCheckInterval);
    if (hint && *hint < until) {
        until = std::max(*hint, now);
    }
    return until;
}

void GuardedBus::wake() {
    // Taking the mutex first means no waiter is between its checks and its sleep.
    { const Lock lk(m_mutex); }
    m_changed.notify_all();
}

void GuardedBus::stop() {
    {
        const Lock lk(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
}

bool GuardedBus::risenSince(Instrument& i, Clock::time_point now, Seen& seen, bool& stood) {
    const bool requesting = i.requestingService(now);
    const std::uint32_t requests = i.serviceRequests();
    // Counted rather than compared by level: a request that fell and rose again between two
    // looks is new, and a call that only lets one fall need not look at all.
    const bool risen = requesting && requests != seen.requests;
    stood = requesting && seen.requesting && !risen;
    seen = Seen{requesting, requests};
    return risen;
}

std::vector<std::string> GuardedBus::srqRisen() {
    const Lock lk(m_mutex);
    const auto now = Clock::now();
    std::vector<std::string> risen;
    // Each bus instrument's own request, for protocols that deliver it to that instrument's
    // sessions alone (one instrument may ask while the line is already held by another), and
    // the line, which is any of them: one pass, as this runs after every call.
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
    return risen;
}

BusSnapshot GuardedBus::snapshot() {
    const Lock lk(m_mutex);
    return m_bus.snapshot(Clock::now());
}

std::optional<InstrumentSnapshot> GuardedBus::instrument(int pad, std::optional<int> sad) {
    const Lock lk(m_mutex);
    Instrument* i = m_bus.find(pad, sad);
    if (i == nullptr) {
        return std::nullopt;
    }
    return i->snapshot(Clock::now());
}

std::optional<InstrumentSnapshot> GuardedBus::instrument(std::string_view lanName) {
    Instrument* i = findLan(lanName);
    if (i == nullptr) {
        return std::nullopt;
    }
    const Lock lk(m_mutex);
    return i->snapshot(Clock::now());
}

bool GuardedBus::setInstrumentFaults(int pad, std::optional<int> sad,
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
