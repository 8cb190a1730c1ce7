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
    m_lanRequested.assign(m_lan.size(), 0);
    m_busRequested.assign(m_bus.instruments().size(), 0);
}

Instrument* GuardedBus::findLan(std::string_view name) {
    // Instruments compare device names without regard to case.
    const auto same = [name](const Instrument& i) {
        return std::equal(name.begin(), name.end(), i.name().begin(), i.name().end(),
                          [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                          });
    };
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

std::vector<std::string> GuardedBus::srqRisen() {
    const Lock lk(m_mutex);
    const auto now = Clock::now();
    std::vector<std::string> risen;
    // Each bus instrument's own request, for protocols that deliver it to that instrument's
    // sessions alone (one instrument may ask while the line is already held by another), and
    // the line, which is any of them: one pass, as this runs after every call.
    std::vector<Instrument>& onBus = m_bus.instruments();
    bool srq = false;
    for (std::size_t i = 0; i < onBus.size(); ++i) {
        const bool requesting = onBus[i].requestingService(now);
        srq = srq || requesting;
        if (requesting && m_busRequested[i] == 0) {
            DeviceName name;
            name.isInterface = false;
            name.pad = onBus[i].pad();
            name.sad = onBus[i].sad();
            risen.push_back(name.canonical());
        }
        m_busRequested[i] = requesting ? 1 : 0;
    }
    if (srq && !m_lastSrq) {
        risen.insert(risen.begin(), std::string(kInterfaceName)); // the line first
    }
    m_lastSrq = srq;
    // A LAN instrument is not on the bus: its request is its own, not the line's.
    for (std::size_t i = 0; i < m_lan.size(); ++i) {
        const bool requesting = m_lan[i].requestingService(now);
        if (requesting && m_lanRequested[i] == 0) {
            risen.push_back(m_lan[i].name());
        }
        m_lanRequested[i] = requesting ? 1 : 0;
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
