#include "gateway/devices/DeviceAccess.h"

namespace gateway {

BusStatus DeviceAccess::run(FunctionRef<void(BusTurn&)> body, const Stop* stop) {
    const auto reason = [stop] {
        return stop != nullptr && (*stop)() ? StopReason::Gone : StopReason::None;
    };
    const Until until{Clock::now() + kFarOff, reason};
    return m_bus.hold(until, body);
}

bool DeviceAccess::admitted(const Stop& stop, FunctionRef<void(BusTurn&)> act, bool whole) {
    for (;;) {
        // The check and the act share one turn: a lock taken meanwhile by another holder
        // waits for the act to end before that holder's own calls reach the device.
        bool locked = false;
        const BusStatus held = run(
            [&](BusTurn& turn) {
                locked = !m_locks.freeFor(m_device.key, m_holder);
                if (!locked) {
                    act(turn);
                }
            },
            whole ? nullptr : &stop);
        if (held != BusStatus::Done) {
            return false;
        }
        if (!locked) {
            return true;
        }
        if (!awaitFree(stop)) {
            return false;
        }
    }
}

bool DeviceAccess::awaitFree(const Stop& stop) {
    return m_locks.awaitFree(m_device.key, m_holder, Clock::now() + kFarOff, stop) ==
           WaitEnd::Ready;
}

bool DeviceAccess::withIfFree(FunctionRef<void(BusTurn&)> act) {
    bool done = false;
    run([&](BusTurn& turn) {
        if (m_locks.freeFor(m_device.key, m_holder)) {
            act(turn);
            done = true;
        }
    });
    return done;
}

std::optional<std::size_t> DeviceAccess::feed(std::span<const std::uint8_t> data, bool end,
                                              const Stop& stop) {
    std::size_t used = 0;
    BusStatus wrote = BusStatus::Done;
    const bool fed = admitted(
        stop,
        [&](BusTurn& turn) {
            wrote = turn.write(m_device, m_holder, data, end, Split::AtMessageEnd, used);
        },
        end);
    if (!fed) {
        return std::nullopt;
    }
    // Bytes the bus did not take (nobody listened, the adapter went) are dropped, as a device
    // that did not listen drops them: offered again, they would be refused again, for ever.
    return wrote == BusStatus::Done ? used : data.size();
}

bool DeviceAccess::trigger(const Stop& stop) {
    return admitted(
        stop, [&](BusTurn& turn) { turn.trigger(m_device); }, true);
}

bool DeviceAccess::answerQueued() {
    return with([&](BusTurn& turn) { return turn.answerQueued(m_device); });
}

bool DeviceAccess::awaitAnswer(const Stop& stop) {
    for (;;) {
        BusStatus got = BusStatus::Empty;
        const BusStatus held = run([&](BusTurn& turn) { got = turn.awaitAnswer(m_device); }, &stop);
        // A bus that waits only so long in one turn (a real bus, where waiting is reading) is
        // asked again in a new turn, so that other callers have theirs in between.
        if (held != BusStatus::Done || got != BusStatus::Timeout || stop()) {
            return held == BusStatus::Done && got == BusStatus::Done;
        }
    }
}

bool DeviceAccess::take(std::uint64_t max, AnswerBytes& out) {
    bool end = false;
    out.reset();
    run([&](BusTurn& turn) { turn.take(m_device, max, out, end); });
    return end;
}

std::uint8_t DeviceAccess::statusByte() {
    std::uint8_t stb = 0;
    run([&](BusTurn& turn) { turn.statusByte(m_device, stb); });
    return stb;
}

} // namespace gateway
