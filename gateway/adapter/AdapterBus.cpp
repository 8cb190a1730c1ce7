#include "gateway/adapter/AdapterBus.h"

#include "gateway/adapter/AdapterTurn.h"

namespace gateway::adapter {

namespace {

/// How often the SRQ line is asked while service requests are wanted.
constexpr auto kSrqLook = std::chrono::milliseconds(100);
/// How long one look at the line, or one poll for the requester, may wait for the adapter.
constexpr auto kSrqCall = std::chrono::milliseconds(1000);
/// How often a caller waiting for its turn asks its stop.
constexpr auto kStopLook = std::chrono::milliseconds(20);

} // namespace

AdapterBus::AdapterBus(PlusPlusAdapter& adapter, int ownAddress)
    : m_adapter(adapter), m_ownAddress(ownAddress) {
    m_watcher = std::thread([this] { watch(); });
}

AdapterBus::~AdapterBus() {
    stop();
    m_watcher.join();
}

GpibAddress AdapterBus::addressOf(const Device& d) {
    GpibAddress a;
    a.primary = static_cast<std::uint8_t>(d.name.pad);
    if (d.name.sad) {
        a.secondary = static_cast<std::uint8_t>(*d.name.sad);
    }
    return a;
}

Device AdapterBus::find(const DeviceName& name) {
    // Nobody can tell from here whether an instrument is at an address: every address is
    // served, and a call to an empty one fails as the bus makes it fail.
    Device d{name, name.canonical(), 0};
    if (!name.isInterface && name.lan.empty()) {
        d.ref = 1 + static_cast<std::uintptr_t>(name.pad) +
                32 * static_cast<std::uintptr_t>(name.sad ? *name.sad + 1 : 0);
    }
    return d;
}

BusStatus AdapterBus::hold(const Until& until, FunctionRef<void(BusTurn&)> body) {
    {
        std::unique_lock lk(m_mutex);
        // Turns go in the order they were asked for: a caller that holds the bus again and
        // again (a session waiting for an answer, one adapter read a turn) lets those that
        // waited meanwhile go first.
        const std::uint64_t ticket = m_nextTicket++;
        const auto giveUp = [&](BusStatus why) {
            m_skipped.insert(ticket);
            skipGivenUp();
            m_changed.notify_all();
            return why;
        };
        while ((m_turnTaken || ticket != m_nextTurn) && !m_stopping) {
            const auto now = Clock::now();
            if (now >= until.deadline) {
                return giveUp(BusStatus::Busy);
            }
            lk.unlock();
            const StopReason stopped = until.stop();
            lk.lock();
            if (stopped != StopReason::None) {
                return giveUp(stoppedBy(stopped));
            }
            m_changed.wait_until(lk, std::min(until.deadline, now + kStopLook));
        }
        if (m_stopping) {
            return giveUp(BusStatus::Gone);
        }
        m_turnTaken = true;
        ++m_nextTurn;
        skipGivenUp();
    }
    struct Release {
        AdapterBus& bus;
        ~Release() {
            {
                const std::lock_guard lk(bus.m_mutex);
                bus.m_turnTaken = false;
            }
            bus.m_changed.notify_all();
        }
    } release{*this};
    AdapterTurn turn(*this, until);
    body(turn);
    return BusStatus::Done;
}

void AdapterBus::skipGivenUp() {
    while (m_skipped.erase(m_nextTurn) > 0) {
        ++m_nextTurn;
    }
}

void AdapterBus::wake() {
    m_changed.notify_all();
}

void AdapterBus::stop() {
    {
        const std::lock_guard lk(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
}

void AdapterBus::routeServiceRequests(Listener listener, std::function<bool()> wanted) {
    const std::lock_guard lk(m_mutex);
    m_listener = std::move(listener);
    m_wanted = std::move(wanted);
}

void AdapterBus::findRequester(std::vector<std::string>& sources) {
    std::vector<std::pair<int, int>> served;
    {
        const std::lock_guard lk(m_mutex);
        served.assign(m_served.begin(), m_served.end());
    }
    for (const auto& [pad, sad] : served) {
        GpibAddress a;
        a.primary = static_cast<std::uint8_t>(pad);
        if (sad >= 0) {
            a.secondary = static_cast<std::uint8_t>(sad);
        }
        const PollResult polled =
            m_adapter.serialPoll(a, CallLimits{net::Deadline::after(kSrqCall), {}, {}});
        constexpr std::uint8_t kRqs = 0x40;
        if (polled.outcome != Outcome::Done || (polled.status & kRqs) == 0) {
            continue;
        }
        // The poll cleared the request: the device's own next poll gets this byte.
        {
            const std::lock_guard lk(m_mutex);
            m_polled[{pad, sad}] = polled.status;
        }
        DeviceName name;
        name.isInterface = false;
        name.pad = pad;
        if (sad >= 0) {
            name.sad = sad;
        }
        sources.push_back(name.canonical());
    }
}

void AdapterBus::watch() {
    bool lineWas = false;
    std::unique_lock lk(m_mutex);
    while (!m_stopping) {
        // The turns wake this condition as they end: only the time, or the stop, ends the wait,
        // so that a busy adapter is not asked about its line after every turn.
        m_changed.wait_until(lk, Clock::now() + kSrqLook, [this] { return m_stopping; });
        if (m_stopping || !m_wanted || !m_listener) {
            continue;
        }
        const std::function<bool()> wanted = m_wanted;
        lk.unlock();
        std::vector<std::string> sources;
        if (wanted()) {
            const LineResult line =
                m_adapter.srqLine(CallLimits{net::Deadline::after(kSrqCall), {}, {}});
            const bool now = line.outcome == Outcome::Done && line.asserted;
            if (now && !lineWas) {
                // The line first, as the simulated bench tells it, then the requesters.
                sources.push_back(std::string(kInterfaceName));
                findRequester(sources);
            }
            lineWas = now;
        }
        lk.lock();
        const Listener listener = m_listener;
        lk.unlock();
        for (const std::string& source : sources) {
            listener(source);
        }
        lk.lock();
    }
}

} // namespace gateway::adapter
