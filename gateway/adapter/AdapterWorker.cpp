#include "gateway/adapter/AdapterWorker.h"

#include "net/TransportError.h"

#include <algorithm>
#include <optional>

namespace gateway::adapter {

using namespace std::chrono_literals;
using net::Deadline;
using Clock = std::chrono::steady_clock;

namespace {

/// How often an adapter that went away is looked for.
constexpr auto kLookAgain = 1s;
/// How long one attempt to open it may take to connect (a TCP adapter on a dead host).
constexpr auto kOpenTimeout = 2s;
/// How often an idle worker checks that the adapter is still there.
constexpr auto kIdleCheck = 1s;
/// How often a waiting caller asks its stop.
constexpr auto kStopPoll = 20ms;

} // namespace

bool JobState::abandoned() const {
    // A read with bytes in hand at its deadline is not abandoned: its caller leaves with them
    // (a stop abandons it all the same, through m_abandoned).
    return m_abandoned.load(std::memory_order_relaxed) ||
           (!m_answered.load(std::memory_order_relaxed) &&
            !m_hasBytes.load(std::memory_order_relaxed) && m_deadline.expired());
}

bool JobState::push(std::span<const std::uint8_t> bytes) {
    // The caller is not woken: it takes every byte once, as the call ends.
    std::lock_guard lock(m_mutex);
    if (m_answered.load()) {
        return false;
    }
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    m_hasBytes.store(!m_bytes.empty());
    return true;
}

void JobState::reserve(std::size_t size) {
    std::lock_guard lock(m_mutex);
    m_bytes.reserve(size);
}

void JobState::answer(Outcome outcome) {
    {
        std::lock_guard lock(m_mutex);
        if (m_answered.load()) {
            return;
        }
        m_outcome = outcome;
        m_answered.store(true);
    }
    m_changed.notify_one();
}

AdapterWorker::AdapterWorker(LinkConfig config)
    : m_config(std::move(config)), m_link(m_config, m_halt) {}

AdapterWorker::~AdapterWorker() {
    m_halt.store(true);
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    failQueued(Outcome::AdapterGone);
}

void AdapterWorker::log(const std::string& line) const {
    if (m_config.log) {
        m_config.log(line);
    }
}

std::string AdapterWorker::start(Deadline deadline) {
    std::string failure;
    try {
        m_link.open(deadline);
        opened();
    } catch (const std::exception& e) {
        failure = e.what();
        log("adapter: " + failure + "; looking for it again every second");
        m_lossLogged = true;
    }
    m_thread = std::thread([this] { loop(); });
    return failure;
}

void AdapterWorker::opened() {
    m_flavour.store(m_link.flavour());
    m_connected.store(true);
    log("adapter " + m_link.name() + (m_lossLogged ? " back: " : ": ") +
        flavourName(m_link.flavour()) + " (" + m_link.version() + ")");
    m_lossLogged = false;
}

void AdapterWorker::lose(const std::string& why) {
    m_connected.store(false);
    m_link.close();
    if (!m_lossLogged) {
        log("adapter " + m_link.name() + " lost (" + why + "); looking for it every second");
        m_lossLogged = true;
    }
    failQueued(Outcome::AdapterGone);
}

void AdapterWorker::recover(const std::string& why) {
    // Out of step: read up to a fresh version line. An adapter that cannot even do that is
    // opened again, which also resets an AR488 on a serial port.
    try {
        m_link.resync();
    } catch (const LinkHalted&) {
    } catch (const std::exception& e) {
        lose(why + ", then " + e.what());
    }
}

void AdapterWorker::lookForAdapter() {
    try {
        m_link.open(Deadline::after(kOpenTimeout));
        opened();
    } catch (const std::exception&) {
        m_link.close(); // still gone; the loss was logged once
    }
}

void AdapterWorker::failQueued(Outcome outcome) {
    std::deque<Entry> failed;
    {
        std::lock_guard lock(m_mutex);
        failed.swap(m_queue);
    }
    for (Entry& entry : failed) {
        entry.state->answer(outcome);
    }
}

bool AdapterWorker::withdraw(const std::shared_ptr<JobState>& state) {
    std::lock_guard lock(m_mutex);
    const auto it = std::find_if(m_queue.begin(), m_queue.end(),
                                 [&](const Entry& e) { return e.state == state; });
    if (it == m_queue.end()) {
        return false;
    }
    m_queue.erase(it);
    return true;
}

void AdapterWorker::loop() {
    auto nextLook = Clock::now();
    while (!m_halt.load()) {
        if (!m_link.isOpen()) {
            failQueued(Outcome::AdapterGone);
            if (Clock::now() >= nextLook) {
                nextLook = Clock::now() + kLookAgain;
                lookForAdapter();
                continue;
            }
            std::unique_lock lock(m_mutex);
            m_wake.wait_until(lock, nextLook, [&] { return m_halt.load(); });
            continue;
        }
        std::optional<Entry> entry;
        {
            std::unique_lock lock(m_mutex);
            if (m_wake.wait_for(lock, kIdleCheck,
                                [&] { return m_halt.load() || !m_queue.empty(); }) &&
                !m_queue.empty()) {
                entry = std::move(m_queue.front());
                m_queue.pop_front();
            }
        }
        if (entry) {
            serve(*entry);
        } else if (m_link.hungUp()) {
            lose("it hung up");
        }
    }
}

void AdapterWorker::serve(Entry& entry) {
    JobState& state = *entry.state;
    if (state.abandoned()) {
        state.answer(Outcome::TimedOut); // nobody waits for it any more: it does not run
        return;
    }
    // The worker's own state changes before the caller hears the outcome, so a caller told
    // "gone" finds the adapter gone.
    try {
        if (m_link.suspect()) {
            m_link.resync();
        }
        entry.task(m_link, state);
        // A task its caller left part-way stops early: that is no success.
        state.answer(state.abandoned() ? Outcome::TimedOut : Outcome::Done);
    } catch (const LinkHalted&) {
        state.answer(Outcome::AdapterGone);
    } catch (const AdapterSilent& e) {
        recover(e.what());
        state.answer(Outcome::IoError);
    } catch (const net::TransportError& e) {
        const bool stalled = e.kind() == net::TransportError::Kind::Timeout;
        stalled ? recover("it takes no more bytes") : lose(e.what());
        state.answer(stalled ? Outcome::IoError : Outcome::AdapterGone);
    } catch (const std::exception& e) {
        log("adapter " + m_link.name() + ": " + e.what());
        state.answer(Outcome::IoError);
    }
}

Outcome AdapterWorker::run(Task task, Deadline deadline, const Stop& stop, const Sink* sink) {
    if (!m_connected.load()) {
        return Outcome::AdapterGone;
    }
    auto state = std::make_shared<JobState>(deadline);
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({std::move(task), state});
    }
    m_wake.notify_one();
    std::unique_lock lock(state->m_mutex);
    Outcome outcome = Outcome::Done;
    for (;;) {
        if (state->m_answered.load()) {
            outcome = state->m_outcome;
            break;
        }
        lock.unlock();
        const bool stopped = stop && stop();
        const bool late = deadline.expired();
        const bool queued = (stopped || late) && withdraw(state);
        lock.lock();
        if ((stopped || late) && !state->m_answered.load()) {
            if (!stopped && sink != nullptr && !state->m_bytes.empty()) {
                // A read whose time ran out leaves with the bytes it has: the rest of the
                // message is the next read's, as when a read ends at its count. A read that
                // got nothing, or whose caller was stopped, is abandoned: its late bytes go to
                // nobody.
                state->m_answered.store(true);
            } else {
                state->m_abandoned.store(true);
            }
            outcome = stopped  ? Outcome::Stopped
                      : queued ? Outcome::AdapterBusy
                               : Outcome::TimedOut;
            break;
        }
        const auto wait = deadline.isNever()
                              ? kStopPoll
                              : std::min<Clock::duration>(kStopPoll, deadline.remaining());
        state->m_changed.wait_for(lock, wait);
    }
    // What was read before the call ended is handed over in one piece: the caller answers only
    // once it ends anyway, and bytes handed over piece by piece cost a wake-up and a copy each.
    if (sink != nullptr && !state->m_bytes.empty()) {
        std::vector<std::uint8_t> bytes;
        bytes.swap(state->m_bytes);
        lock.unlock();
        (*sink)(bytes);
    }
    return outcome;
}

} // namespace gateway::adapter
