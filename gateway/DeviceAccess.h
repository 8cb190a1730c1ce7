#pragma once
// One instrument of the bench as a session of a stream protocol reaches it (a HiSLIP session,
// a raw socket connection): a holder in the lock table, whose bytes go to the instrument one
// program message at a time, and whose answers are waited for and taken in pieces. Every wait
// ends early when the session's Stop says so (its client left, a device clear began, a new
// message came); the server's stop ends them through the bus and the lock table.

#include "gateway/GuardedBus.h"
#include "gateway/LockTable.h"
#include "gateway/ServiceRequests.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace gateway {

/// The instrument a session reaches, and its names.
struct DeviceTarget {
    Instrument* device = nullptr;
    DeviceName name;
    std::string key; ///< the key of its lock (canonical name)
    bool onBus() const { return name.lan.empty(); }
};

class DeviceAccess {
public:
    /// True when a wait is to end early.
    using Stop = std::function<bool()>;

    DeviceAccess(GuardedBus& bus, LockTable& locks, ServiceRequests& srq, DeviceTarget target,
                 LockTable::Holder holder)
        : m_bus(bus), m_locks(locks), m_srq(srq), m_target(std::move(target)), m_holder(holder) {}

    const DeviceTarget& target() const noexcept { return m_target; }
    LockTable::Holder holder() const noexcept { return m_holder; }
    LockTable& locks() noexcept { return m_locks; }

    /// Waits until this holder may reach the device (its lock is free or ours), then returns
    /// with the bus locked; nothing when `stop` ended the wait first.
    std::optional<GuardedBus::Lock> admit(const Stop& stop);
    /// Feeds `data` (`end`: END with its last byte) up to the end of the first program
    /// message in it, once admitted: the bytes used, nothing when `stop` ended the wait.
    std::optional<std::size_t> feed(std::span<const std::uint8_t> data, bool end, const Stop& stop);
    /// Group execute trigger, once admitted; false when `stop` ended the wait.
    bool trigger(const Stop& stop);
    /// Whether an answer is queued, readable yet or not.
    bool answerQueued();
    /// Waits until the queued answer is readable: true then; false when `stop` ended the wait
    /// or the answer went (another client read it, a clear).
    bool awaitAnswer(const Stop& stop);
    /// Takes up to `max` bytes of the readable answer into `out`; true when they end it.
    bool take(std::uint64_t max, AnswerBytes& out);

    /// Runs `act(instrument, bus)` with the bus locked, then lets waiting calls look again and
    /// routes the service requests that rose.
    template <typename Act>
    auto with(Act act) {
        struct After {
            DeviceAccess& self;
            ~After() {
                self.m_bus.changed();
                self.m_srq.look();
            }
        } after{*this};
        const GuardedBus::Lock lk = m_bus.lock();
        return act(*m_target.device, m_bus.bus());
    }
    /// As with(), for an act that returns whether it changed what others follow (a state a
    /// call waits for, a status bit that rose): only then are the waits woken and the
    /// requests looked at. Every message of a session runs such acts, and most change nothing
    /// of the kind (a request that only falls is counted by the instrument itself).
    template <typename Act>
    bool changeIf(Act act) {
        bool changed = false;
        {
            const GuardedBus::Lock lk = m_bus.lock();
            changed = act(*m_target.device, m_bus.bus());
        }
        if (changed) {
            m_bus.changed();
            m_srq.look();
        }
        return changed;
    }
    /// Runs `act(instrument)`, which only reads, with the bus locked.
    template <typename Act>
    auto read(Act act) {
        const GuardedBus::Lock lk = m_bus.lock();
        return act(std::as_const(*m_target.device));
    }
    /// As with(), but only while no other holder has the device locked, checked under the same
    /// bus lock as the act (a lock taken in between would otherwise be overridden); false,
    /// with nothing done, when it is locked.
    template <typename Act>
    bool withIfFree(Act act) {
        {
            const GuardedBus::Lock lk = m_bus.lock();
            if (!m_locks.freeFor(m_target.key, m_holder)) {
                return false;
            }
            act(*m_target.device, m_bus.bus());
        }
        m_bus.changed();
        m_srq.look();
        return true;
    }
    /// Waits until no other holder has the device locked; false when `stop` ended the wait.
    bool awaitFree(const Stop& stop);
    /// Routes the service requests that rose (the bus unlocked).
    void look() { m_srq.look(); }
    /// Wakes this holder's waits (for a lock, for an answer), so that they ask their Stop now.
    void wake() {
        m_locks.wake(m_holder);
        m_bus.wake();
    }
    /// The status byte as a serial poll reads it, without clearing anything.
    std::uint8_t statusByte() {
        const GuardedBus::Lock lk = m_bus.lock();
        return m_target.device->statusByte(Clock::now());
    }

private:
    GuardedBus& m_bus;
    LockTable& m_locks;
    ServiceRequests& m_srq;
    const DeviceTarget m_target;
    const LockTable::Holder m_holder;
};

} // namespace gateway
