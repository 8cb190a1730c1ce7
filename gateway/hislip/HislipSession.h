#pragma once
// One HiSLIP session as the server keeps it: its two channels (the synchronous one, which
// opened it, and the asynchronous one, bound to it by the session ID), the instrument it
// reaches, and the state both channels' threads read and change. Either channel closing ends
// the session: both sockets are shut down at once and every wait of either thread ends; the
// last thread to finish lets go of its locks.

#include "gateway/devices/DeviceAccess.h"
#include "gateway/serving/SendAnswer.h"
#include "gateway/serving/StreamService.h"
#include "hislip/codec/Message.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

namespace gateway {

class HislipSession {
public:
    /// What both channels read and change, under the session's mutex.
    struct State {
        bool overlapped = false;
        std::uint64_t clientMax = 0; ///< the largest message the client accepts
        /// Between AsyncDeviceClear and DeviceClearComplete: sync messages are dropped.
        bool clearing = false;
        /// The last Data, DataEND or Trigger received since the open or the last clear.
        std::uint32_t lastReceived = hislip::kNoMessageId;
        bool busy = false; ///< that message is still being carried out
        /// Overlapped: the MessageID of the next Data or DataEND the server sends.
        std::uint32_t nextServerId = hislip::kFirstMessageId;
        /// Synchronized: a DataEND went out and no message has said it arrived (RMT).
        bool rmtExpected = false;
        /// A response went out and is not known to have arrived: the session holds MAV in
        /// the instrument (guarded by the bus's mutex as well, which is taken first).
        bool mav = false;
        /// An AsyncServiceRequest may go; none again until a status query.
        bool srqArmed = true;
    };

    HislipSession(std::uint16_t id, std::shared_ptr<Endpoint> sync, DeviceAccess device,
                  const State& initial)
        : m_id(id), m_sync(std::move(sync)), m_device(std::move(device)), m_state(initial),
          m_clearing(initial.clearing) {}
    HislipSession(const HislipSession&) = delete;
    HislipSession& operator=(const HislipSession&) = delete;

    std::uint16_t id() const noexcept { return m_id; }
    DeviceAccess& device() noexcept { return m_device; }

    // ---- The channels.
    /// Binds the asynchronous channel; false when one is bound already or the session ended.
    bool bindAsync(std::shared_ptr<Endpoint> async);
    bool established() const { return m_established.load(); }
    /// Ends the session: both channels shut down, every wait ends. True the first time.
    bool end();
    /// Asked between every step of a message, so it takes no lock.
    bool ending() const { return m_ended.load(std::memory_order_acquire); }
    /// The client closed the asynchronous channel: the session is on its way out. What it sent
    /// whole on the synchronous channel before still goes to the device, as an instrument
    /// executes what it received; every wait (for an answer, for a lock) ends now.
    void leave();
    bool leaving() const { return m_leaving.load(std::memory_order_acquire); }
    /// A channel's thread is done with the session; true for the last of them (which then
    /// lets go of what the session held). The synchronous channel's end ends the session; the
    /// asynchronous one's only makes it leave.
    bool channelDone(bool sync);

    /// Sends a whole message; false (and the session ends) when it cannot go out.
    bool sendSync(std::span<const std::uint8_t> message);
    bool sendAsync(std::span<const std::uint8_t> message);
    /// Sends one Data or DataEND of a response: `header`, then `piece`.
    bool sendData(const hislip::HeaderBytes& header, const AnswerBytes& piece,
                  WaveformScratch& scratch);
    /// Sends FatalError `code` with `text` on both channels, then ends the session.
    void fatal(std::uint8_t code, std::string_view text);

    // ---- The state.
    /// Runs `f(state)` under the session's mutex and wakes the waits on it.
    template <typename F>
    auto update(F f) {
        struct Notify {
            std::condition_variable& changed;
            ~Notify() { changed.notify_all(); }
        } notify{m_changed};
        const std::lock_guard lk(m_mutex);
        struct Mirror {
            HislipSession& session;
            ~Mirror() { session.m_clearing.store(session.m_state.clearing); }
        } mirror{*this};
        return f(m_state);
    }
    /// State::clearing, asked between every step of a message, so read without a lock.
    bool clearing() const { return m_clearing.load(); }
    /// A copy of the state.
    State state() const;
    /// Waits until `done(state)` holds (true), or the session ends or `stop()` says so (false).
    template <typename Done>
    bool waitUntil(Done done, const DeviceAccess::Stop& stop);

    /// Holds MAV in the instrument for a response sent; lets go of it (a response known to
    /// have arrived, a clear, the end).
    void holdMav();
    void releaseMav();

private:
    /// Sends on `channel` under its send mutex, by `deadline`; false when it failed.
    bool send(Endpoint* channel, std::span<const std::uint8_t> message, net::Deadline deadline);

    const std::uint16_t m_id;
    const std::shared_ptr<Endpoint> m_sync;
    DeviceAccess m_device;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    State m_state;
    std::shared_ptr<Endpoint> m_async;       ///< under m_mutex
    std::atomic<bool> m_ended = false;       ///< set under m_mutex
    std::atomic<bool> m_leaving = false;     ///< the asynchronous channel closed
    std::atomic<bool> m_clearing = false;    ///< m_state.clearing, as update() leaves it
    std::atomic<bool> m_established = false; ///< m_async bound, set under m_mutex
    int m_channels = 1;                      ///< channel threads using the session, under m_mutex
};

template <typename Done>
bool HislipSession::waitUntil(Done done, const DeviceAccess::Stop& stop) {
    std::unique_lock lk(m_mutex);
    for (;;) {
        if (done(m_state)) {
            return true;
        }
        if (m_ended) {
            return false;
        }
        lk.unlock();
        const bool stopped = stop();
        lk.lock();
        if (stopped) {
            return false;
        }
        // The stop condition may change without a notice (bytes arriving): look again soon.
        m_changed.wait_for(lk, kGoneCheckInterval);
    }
}

} // namespace gateway
