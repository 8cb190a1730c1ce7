#pragma once

#include "gateway/adapter/AdapterLink.h"
#include "gateway/adapter/AdapterTypes.h"
#include "net/Deadline.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace gateway::adapter {

/// One call as the worker runs it and its caller waits for it: the bytes it hands the caller,
/// its answer, and whether the caller is still there.
class JobState final : public JobControl {
public:
    explicit JobState(net::Deadline deadline) : m_deadline(deadline) {}

    /// True once the caller gave up, or its deadline passed before it was answered.
    bool abandoned() const override;
    /// Keeps read bytes for the caller (its sink takes them on its own thread); false, and
    /// nothing kept, once the caller has its answer (it may have left with the bytes so far).
    bool push(std::span<const std::uint8_t> bytes);
    /// Makes room for `size` bytes at once, so that a long answer is not moved as it grows.
    void reserve(std::size_t size);
    /// The caller's answer is complete; the first answer counts. The worker may go on.
    void answer(Outcome outcome);

private:
    friend class AdapterWorker;
    net::Deadline m_deadline;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::uint8_t> m_bytes;
    std::atomic<bool> m_answered{false};
    std::atomic<bool> m_abandoned{false};
    std::atomic<bool> m_hasBytes{false}; ///< bytes were pushed for the caller
    Outcome m_outcome = Outcome::Done;
};

/// The one owner of an adapter: a thread that runs every call in turn (the adapter does one
/// thing at a time, and a read it runs cannot be interrupted), while each caller waits with
/// its own deadline and stop. A caller that gives up returns at once; its call still runs to
/// the adapter's end so the stream stays in step, and the next caller waits behind it or,
/// still waiting at its deadline, hears "adapter busy". While the adapter is gone, calls
/// answer "adapter gone" at once and the worker tries to open it again about once a second.
class AdapterWorker {
public:
    /// Work on the link for one call, run on the worker's thread.
    using Task = std::function<void(AdapterLink&, JobState&)>;

    explicit AdapterWorker(LinkConfig config);
    ~AdapterWorker();
    AdapterWorker(const AdapterWorker&) = delete;
    AdapterWorker& operator=(const AdapterWorker&) = delete;

    /// Opens the adapter once by `deadline`, then starts the worker. Returns why the open
    /// failed (the worker keeps looking for the adapter), empty when it opened.
    std::string start(net::Deadline deadline);
    /// Runs `task` and waits for its answer; the bytes it read go to `sink` as the call ends,
    /// whether answered or left.
    Outcome run(Task task, net::Deadline deadline, const Stop& stop, const Sink* sink = nullptr);

    bool connected() const noexcept { return m_connected.load(); }
    /// The flavour of the adapter (Auto before it was first identified).
    Flavour flavour() const noexcept { return m_flavour.load(); }

private:
    struct Entry {
        Task task;
        std::shared_ptr<JobState> state;
    };

    void loop();
    void serve(Entry& entry);
    void lookForAdapter();
    void opened();
    void lose(const std::string& why);
    void recover(const std::string& why);
    void failQueued(Outcome outcome);
    bool withdraw(const std::shared_ptr<JobState>& state);
    void log(const std::string& line) const;

    LinkConfig m_config;
    std::atomic<bool> m_halt{false};
    AdapterLink m_link;
    std::atomic<bool> m_connected{false};
    std::atomic<Flavour> m_flavour{Flavour::Auto};
    bool m_lossLogged = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Entry> m_queue;
    std::thread m_thread;
};

} // namespace gateway::adapter
