#include "gateway/simbus/SimTurn.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace gateway {

namespace {

/// Most bytes a read with a termination character takes at once: they are looked through, so
/// they are made before the reply is sent.
constexpr std::uint64_t kTermCharPiece = 1 << 20;

std::string_view text(std::span<const std::uint8_t> data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

/// How long to sleep at most before looking again.
Clock::time_point nextLook(Clock::time_point deadline, Clock::time_point now,
                           std::optional<Clock::time_point> hint) {
    // At least every so often, to notice a client that went away meanwhile.
    auto until = std::min(deadline, now + kGoneCheckInterval);
    if (hint && *hint < until) {
        until = std::max(*hint, now);
    }
    return until;
}

constexpr auto kNoHint = [] { return std::optional<Clock::time_point>(); };
constexpr auto kNeverReady = [] { return false; };

} // namespace

template <typename Ready, typename Hint>
BusStatus SimTurn::waitFor(Ready ready, Hint hint) {
    for (;;) {
        if (ready()) {
            return BusStatus::Done;
        }
        if (m_bench.m_stopping) {
            return BusStatus::Gone;
        }
        if (const StopReason why = m_until.stop(); why != StopReason::None) {
            return stoppedBy(why);
        }
        const auto now = Clock::now();
        if (now >= m_until.deadline) {
            return BusStatus::Timeout;
        }
        m_bench.m_changed.wait_until(m_lk, nextLook(m_until.deadline, now, hint()));
    }
}

// ---- messages ------------------------------------------------------------------------------

BusStatus SimTurn::write(const Device& d, Holder who, std::span<const std::uint8_t> data, bool end,
                         Split split, std::size_t& taken) {
    const auto now = Clock::now();
    taken = 0;
    if (d.name.isInterface) {
        bus().setAtn(false); // the data phase follows the client's own addressing
        const std::vector<Instrument*> listeners = bus().listeners();
        if (listeners.empty()) {
            return BusStatus::NoListener; // nobody listens: the handshake cannot complete
        }
        for (Instrument* t : listeners) {
            t->receive(text(data), end, now);
        }
        taken = data.size();
        return BusStatus::Done;
    }
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::NoListener;
    }
    // A device on the bus goes to remote when addressed with REN asserted.
    if (d.onBus() && bus().ren()) {
        i->remote = true;
    }
    if (split == Split::AtMessageEnd) {
        taken = i->receiveOne(text(data), end, now, who);
    } else {
        i->receive(text(data), end, now, who);
        taken = data.size();
    }
    return BusStatus::Done;
}

BusStatus SimTurn::read(const Device& d, std::uint64_t max, std::optional<std::uint8_t> term,
                        AnswerBytes& out, bool& end) {
    end = false;
    if (d.name.isInterface) {
        bus().setAtn(false);
    }
    // The source is looked up afresh on each wake: on the interface the talker is whoever the
    // client addressed.
    auto source = [&] { return d.name.isInterface ? bus().talker() : instrument(d); };
    auto pollByte = [&] { return d.name.isInterface && bus().serialPollMode(); };
    auto ready = [&] {
        Instrument* s = source();
        const auto now = Clock::now();
        return s != nullptr && (pollByte() || (s->hasOutput(now) && now >= s->nextByteAt));
    };
    auto hint = [&]() -> std::optional<Clock::time_point> {
        Instrument* s = source();
        if (s == nullptr) {
            return std::nullopt;
        }
        const auto next = s->nextOutputTime();
        return next ? std::max(*next, s->nextByteAt) : next;
    };
    if (const BusStatus waited = waitFor(ready, hint); waited != BusStatus::Done) {
        return waited;
    }
    Instrument* s = source();
    const auto now = Clock::now();
    if (pollByte()) {
        out.head.assign(1, s->serialPoll(now));
        end = true;
        return BusStatus::Done;
    }
    const InstrumentFaults& faults = s->faults();
    if (faults.trickle.count() > 0) {
        max = 1;
        s->nextByteAt = now + faults.trickle;
    }
    readOutput(*s, max, term, out, end, now);
    end = end && !faults.noEnd;
    return BusStatus::Done;
}

void SimTurn::readOutput(Instrument& s, std::uint64_t max, std::optional<std::uint8_t> term,
                         AnswerBytes& out, bool& end, Clock::time_point now) {
    if (term) {
        // The character is looked for in the bytes themselves: made now, a bounded piece.
        out.head.resize(static_cast<std::size_t>(
            std::min({max, s.readable(now), std::uint64_t{kTermCharPiece}})));
        out.head.resize(s.takeOutput(out.head, term, end, now));
    } else {
        s.takeOutput(max, out, end, now);
    }
}

BusStatus SimTurn::take(const Device& d, std::uint64_t max, AnswerBytes& out, bool& end) {
    end = false;
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::Empty;
    }
    i->takeOutput(max, out, end, Clock::now());
    return out.size() == 0 && !end ? BusStatus::Empty : BusStatus::Done;
}

bool SimTurn::answerQueued(const Device& d) {
    const Instrument* i = instrument(d);
    return i != nullptr && i->answerQueued();
}

BusStatus SimTurn::awaitAnswer(const Device& d) {
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::Empty;
    }
    const BusStatus waited =
        waitFor([&] { return i->hasOutput(Clock::now()) || !i->answerQueued(); },
                [&] { return i->nextOutputTime(); });
    if (waited != BusStatus::Done) {
        return waited;
    }
    return i->hasOutput(Clock::now()) ? BusStatus::Done : BusStatus::Empty;
}

void SimTurn::forgetInput(const Device& d, Holder who) {
    if (Instrument* i = instrument(d)) {
        i->forgetInput(who);
    }
}

bool SimTurn::midMessage(const Device& d, Holder who) {
    const Instrument* i = instrument(d);
    return i != nullptr && i->midMessage(who);
}

// ---- device operations ---------------------------------------------------------------------

BusStatus SimTurn::serialPoll(const Device& d, std::uint8_t& stb) {
    Instrument* i = instrument(d);
    if (i == nullptr) {
        // Nobody answers the poll: it ends at the deadline.
        const BusStatus waited = waitFor(kNeverReady, kNoHint);
        return waited == BusStatus::Done ? BusStatus::Timeout : waited;
    }
    stb = i->serialPoll(Clock::now());
    return BusStatus::Done;
}

BusStatus SimTurn::statusByte(const Device& d, std::uint8_t& stb) {
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::NoListener;
    }
    stb = i->statusByte(Clock::now());
    return BusStatus::Done;
}

BusStatus SimTurn::clear(const Device& d) {
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::NoListener;
    }
    i->deviceClear();
    return BusStatus::Done;
}

BusStatus SimTurn::trigger(const Device& d) {
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::NoListener;
    }
    i->trigger();
    return BusStatus::Done;
}

BusStatus SimTurn::remote(const Device& d) {
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::NoListener;
    }
    // A LAN instrument has no bus line to assert.
    if (d.onBus()) {
        bus().setRen(true);
    }
    i->remote = true;
    return BusStatus::Done;
}

BusStatus SimTurn::local(const Device& d) {
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::NoListener;
    }
    i->remote = false;
    return BusStatus::Done;
}

BusStatus SimTurn::remoteLocal(const Device& d, RemoteLocal what) {
    Instrument* i = instrument(d);
    if (i == nullptr) {
        return BusStatus::NoListener;
    }
    // Remote enable is the bus's REN line for a device on the bus (dropping it returns every
    // device there to local), the instrument's own for a LAN instrument.
    const auto enable = [&](bool on) {
        if (d.onBus()) {
            bus().setRen(on);
        } else {
            i->remoteEnable = on;
        }
    };
    switch (what) {
    case RemoteLocal::DisableRemote:
    case RemoteLocal::DisableRemoteGoLocal:
        enable(false);
        i->remote = false;
        i->lockout = false;
        break;
    case RemoteLocal::EnableRemote:
        enable(true);
        break;
    case RemoteLocal::EnableRemoteGoRemote:
        enable(true);
        i->remote = true;
        break;
    case RemoteLocal::EnableRemoteLockLocal:
        enable(true);
        i->lockout = true;
        break;
    case RemoteLocal::EnableRemoteGoRemoteLockLocal:
        enable(true);
        i->remote = true;
        i->lockout = true;
        break;
    case RemoteLocal::GoLocal:
        i->remote = false;
        break;
    }
    return BusStatus::Done;
}

void SimTurn::addressed(const Device& d) {
    Instrument* i = instrument(d);
    if (i != nullptr && !i->remote && (d.onBus() ? bus().ren() : i->remoteEnable)) {
        i->remote = true;
    }
}

void SimTurn::holdMessage(const Device& d) {
    if (Instrument* i = instrument(d)) {
        i->holdMessage(Clock::now());
    }
}

void SimTurn::releaseMessage(const Device& d) {
    if (Instrument* i = instrument(d)) {
        i->releaseMessage(Clock::now());
    }
}

bool SimTurn::interruptQuery(const Device& d) {
    Instrument* i = instrument(d);
    return i != nullptr && i->interruptQuery();
}

void SimTurn::queryInterrupted(const Device& d) {
    if (Instrument* i = instrument(d)) {
        i->queryInterrupted();
    }
}

// ---- the interface -------------------------------------------------------------------------

BusStatus SimTurn::sendCommand(std::span<const std::uint8_t> bytes) {
    bus().sendCommand(text(bytes), Clock::now());
    return BusStatus::Done;
}

BusStatus SimTurn::setAtn(bool on) {
    bus().setAtn(on);
    return BusStatus::Done;
}

BusStatus SimTurn::setRen(bool on) {
    bus().setRen(on);
    return BusStatus::Done;
}

BusStatus SimTurn::ifc() {
    bus().ifc();
    return BusStatus::Done;
}

BusStatus SimTurn::busStatus(std::uint32_t request, std::uint16_t& value) {
    const std::optional<std::uint16_t> answer = bus().status(request, Clock::now());
    if (!answer) {
        return BusStatus::BadParameter;
    }
    value = *answer;
    return BusStatus::Done;
}

BusStatus SimTurn::setBusAddress(std::uint32_t address) {
    return bus().setBusAddress(address) ? BusStatus::Done : BusStatus::BadParameter;
}

} // namespace gateway
