#include "gateway/DeviceAccess.h"

#include <chrono>

namespace gateway {

namespace {

/// A wait with no deadline of its own lies this far off (it ends by its Stop).
constexpr auto kFarOff = std::chrono::hours(24 * 365);

} // namespace

std::optional<GuardedBus::Lock> DeviceAccess::admit(const Stop& stop) {
    for (;;) {
        // The check and what follows run under the bus mutex: a lock taken meanwhile by another
        // holder waits for it to end before that holder's own calls reach the device.
        GuardedBus::Lock lk = m_bus.lock();
        if (m_locks.freeFor(m_target.key, m_holder)) {
            return lk;
        }
        lk.unlock();
        if (!awaitFree(stop)) {
            return std::nullopt;
        }
    }
}

bool DeviceAccess::awaitFree(const Stop& stop) {
    return m_locks.awaitFree(m_target.key, m_holder, Clock::now() + kFarOff, stop) ==
           WaitEnd::Ready;
}

std::optional<std::size_t> DeviceAccess::feed(std::span<const std::uint8_t> data, bool end,
                                              const Stop& stop) {
    std::optional<GuardedBus::Lock> lk = admit(stop);
    if (!lk) {
        return std::nullopt;
    }
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    const std::size_t used = m_target.device->receiveOne(text, end, Clock::now());
    lk->unlock();
    m_bus.changed();
    m_srq.look();
    return used;
}

bool DeviceAccess::trigger(const Stop& stop) {
    std::optional<GuardedBus::Lock> lk = admit(stop);
    if (!lk) {
        return false;
    }
    m_target.device->trigger();
    lk->unlock();
    m_bus.changed();
    m_srq.look();
    return true;
}

bool DeviceAccess::answerQueued() {
    const GuardedBus::Lock lk = m_bus.lock();
    return m_target.device->answerQueued();
}

bool DeviceAccess::awaitAnswer(const Stop& stop) {
    GuardedBus::Lock lk = m_bus.lock();
    Instrument& device = *m_target.device;
    CallContext call;
    call.gone = stop;
    // The call that queued the answer looked already; only a request that rose since (MAV,
    // once a slow answer became readable) needs another look.
    const std::uint32_t requestsBefore = device.serviceRequests();
    const WaitEnd end = m_bus.waitFor(
        lk, Clock::now() + kFarOff, call, stop,
        [&] { return device.hasOutput(Clock::now()) || !device.answerQueued(); },
        [&] { return device.nextOutputTime(); });
    const auto now = Clock::now();
    const bool readable = end == WaitEnd::Ready && device.hasOutput(now);
    device.requestingService(now);
    const bool rose = device.serviceRequests() != requestsBefore;
    lk.unlock();
    if (rose) {
        m_srq.look();
    }
    return readable;
}

bool DeviceAccess::take(std::uint64_t max, AnswerBytes& out) {
    bool end = false;
    {
        const GuardedBus::Lock lk = m_bus.lock();
        m_target.device->takeOutput(max, out, end, Clock::now());
    }
    // Its MAV may have fallen, which raises no request: nothing to look at.
    m_bus.changed();
    return end;
}

} // namespace gateway
