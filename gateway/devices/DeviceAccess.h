#pragma once
// One device as a session of a stream protocol reaches it (a HiSLIP session, a raw socket
// connection): a holder in the lock table, whose bytes go to the device one program message at
// a time, and whose answers are waited for and taken in pieces, all through the device seam.
// Every wait ends early when the session's Stop says so (its client left, a device clear
// began, a new message came); the server's stop ends them through the bus and the lock table.

#include "gateway/devices/DeviceBus.h"
#include "gateway/devices/LockTable.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

namespace gateway {

class DeviceAccess {
public:
    /// True when a wait is to end early.
    using Stop = std::function<bool()>;

    DeviceAccess(DeviceBus& bus, LockTable& locks, Device device, LockTable::Holder holder)
        : m_bus(bus), m_locks(locks), m_device(std::move(device)), m_holder(holder) {}

    const Device& device() const noexcept { return m_device; }
    LockTable::Holder holder() const noexcept { return m_holder; }
    LockTable& locks() noexcept { return m_locks; }

    /// Feeds `data` (`end`: END with its last byte) up to the end of the first program
    /// message in it, once no other holder has the device locked: the bytes used (all of them
    /// when the bus refused them: they are dropped), nothing when `stop` ended the wait.
    std::optional<std::size_t> feed(std::span<const std::uint8_t> data, bool end, const Stop& stop);
    /// Group execute trigger, once admitted; false when `stop` ended the wait for a lock.
    bool trigger(const Stop& stop);
    /// Whether an answer is queued, readable yet or not.
    bool answerQueued();
    /// Waits until the queued answer is readable: true then; false when `stop` ended the wait
    /// or the answer went (another client read it, a clear).
    bool awaitAnswer(const Stop& stop);
    /// Takes up to `max` bytes of the readable answer into `out`; true when they end it.
    bool take(std::uint64_t max, AnswerBytes& out);

    /// Runs `act(turn)` with the bus held, and returns what it returns.
    template <typename Act>
    auto with(Act act) {
        using Result = decltype(act(std::declval<BusTurn&>()));
        if constexpr (std::is_void_v<Result>) {
            run([&](BusTurn& turn) { act(turn); });
        } else {
            Result result{};
            run([&](BusTurn& turn) { result = act(turn); });
            return result;
        }
    }
    /// As with(), but only while no other holder has the device locked, checked in the same
    /// turn as the act (a lock taken in between would otherwise be overridden); false, with
    /// nothing done, when it is locked.
    bool withIfFree(FunctionRef<void(BusTurn&)> act);
    /// Waits until no other holder has the device locked; false when `stop` ended the wait.
    bool awaitFree(const Stop& stop);
    /// Wakes this holder's waits (for a lock, for an answer), so that they ask their Stop now.
    void wake() {
        m_locks.wake(m_holder);
        m_bus.wake();
    }
    /// The status byte as a serial poll reads it, without clearing anything.
    std::uint8_t statusByte();

private:
    /// Runs `body` in a turn without a deadline, ended early by `stop`.
    BusStatus run(FunctionRef<void(BusTurn&)> body, const Stop* stop = nullptr);
    /// Runs `act` in a turn once no other holder has the device locked; false when `stop`
    /// ended a wait. A `whole` message (its END came, or a trigger) is delivered even when its
    /// client leaves right after sending it, as an instrument executes what it received: then
    /// `stop` ends only the wait for a lock, and the turn ends by its own bounds.
    bool admitted(const Stop& stop, FunctionRef<void(BusTurn&)> act, bool whole = false);

    DeviceBus& m_bus;
    LockTable& m_locks;
    const Device m_device;
    const LockTable::Holder m_holder;
};

} // namespace gateway
