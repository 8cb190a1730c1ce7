#include "gateway/adapter/AdapterTurn.h"

#include "vxi11/codec/DocmdMessages.h"

#include <algorithm>

namespace gateway::adapter {

namespace {

/// How long a read through the bridge gathers bytes before it hands them on, so that a client
/// gets the first part of a long answer while the adapter still sends the rest.
constexpr std::chrono::milliseconds kReadSlice{50};
/// A listener search is taken as still true for this long: a scan of the bus asks about each
/// address in turn, and the search answers for all of them at once.
constexpr std::chrono::seconds kSearchValid{3};

/// Whether a message holds a query: a `?` anywhere in it. A device owes an answer to such a
/// message, and a stream protocol reads it.
bool holdsQuery(std::span<const std::uint8_t> data) {
    return std::find(data.begin(), data.end(), std::uint8_t{'?'}) != data.end();
}

} // namespace

AdapterTurn::AdapterTurn(AdapterBus& bus, const Until& until) : m_bus(bus), m_until(until) {}

CallLimits AdapterTurn::limits(std::chrono::milliseconds slice) const {
    CallLimits l;
    l.deadline = m_until.deadline == Clock::time_point::max() ? net::Deadline::never()
                                                              : net::Deadline::at(m_until.deadline);
    l.stop = [this] {
        const StopReason why = m_until.stop();
        if (why != StopReason::None) {
            m_stopped = why;
        }
        return why != StopReason::None;
    };
    l.slice = slice;
    return l;
}

BusStatus AdapterTurn::status(Outcome outcome) const {
    switch (outcome) {
    case Outcome::Done:
        return BusStatus::Done;
    case Outcome::TimedOut:
        return BusStatus::Timeout;
    case Outcome::Stopped:
        return stoppedBy(m_stopped);
    case Outcome::NotSupported:
        return BusStatus::NotSupported;
    case Outcome::IoError:
        return BusStatus::NoListener;
    case Outcome::AdapterBusy:
        return BusStatus::Busy;
    case Outcome::AdapterGone:
        return BusStatus::Lost;
    }
    return BusStatus::Lost;
}

void AdapterTurn::served(const GpibAddress& a) {
    const std::lock_guard lk(m_bus.m_mutex);
    m_bus.m_served.insert(keyOf(a));
}

// ---- messages ------------------------------------------------------------------------------

BusStatus AdapterTurn::write(const Device& d, Holder, std::span<const std::uint8_t> data, bool end,
                             Split, std::size_t& taken) {
    taken = 0;
    std::optional<GpibAddress> to;
    if (d.name.isInterface) {
        // The data phase follows the client's own addressing: to its one listener (the
        // adapter talks to one device at a time).
        if (m_bus.m_listeners.size() == 1) {
            to = m_bus.m_listeners.front();
        }
    } else {
        to = AdapterBus::addressOf(d);
    }
    if (!to) {
        return BusStatus::NoListener;
    }
    served(*to);
    const WriteResult wrote = m_bus.m_adapter.write(*to, data, end, limits());
    taken = wrote.written;
    const auto key = keyOf(*to);
    if (holdsQuery(data)) {
        m_bus.m_asked.insert(key);
    }
    if (wrote.outcome == Outcome::Done && end && m_bus.m_asked.erase(key) > 0) {
        m_bus.m_owing.insert(key);
    }
    return status(wrote.outcome);
}

BusStatus AdapterTurn::readFrom(const GpibAddress& address, std::uint64_t max,
                                std::optional<std::uint8_t> term, AnswerBytes& out, bool& end,
                                bool oneRead) {
    served(address);
    out.reset();
    const std::size_t most = static_cast<std::size_t>(
        std::min<std::uint64_t>(max, std::numeric_limits<std::size_t>::max()));
    const Sink sink = [&out](std::vector<std::uint8_t>& bytes) { out.head.swap(bytes); };
    CallLimits bounds = limits(kReadSlice);
    bounds.oneRead = oneRead;
    const ReadResult got = m_bus.m_adapter.read(address, most, term, sink, bounds);
    end = got.end;
    if (got.end) {
        m_bus.m_owing.erase(keyOf(address));
    }
    // Bytes that came before a time-out are handed on: the caller's next read goes on from
    // where these end, as with a read cut at its count.
    if (got.outcome == Outcome::TimedOut && !out.head.empty()) {
        return BusStatus::Done;
    }
    return status(got.outcome);
}

BusStatus AdapterTurn::read(const Device& d, std::uint64_t max, std::optional<std::uint8_t> term,
                            AnswerBytes& out, bool& end) {
    end = false;
    std::optional<GpibAddress> from;
    if (d.name.isInterface) {
        from = m_bus.m_talkerAddressed;
    } else {
        from = AdapterBus::addressOf(d);
    }
    if (!from) {
        return BusStatus::NoListener;
    }
    return readFrom(*from, max, term, out, end);
}

BusStatus AdapterTurn::take(const Device& d, std::uint64_t max, AnswerBytes& out, bool& end) {
    end = false;
    out.reset();
    if (!answerQueued(d)) {
        return BusStatus::Empty;
    }
    // What is there now: the rest of the answer as it comes, up to one per-byte time-out of
    // silence (a talker that never asserts EOI must not hold the adapter for ever).
    const GpibAddress from = AdapterBus::addressOf(d);
    const BusStatus got = readFrom(from, max, std::nullopt, out, end, true);
    return got == BusStatus::Done && out.size() == 0 && !end ? BusStatus::Empty : got;
}

bool AdapterTurn::answerQueued(const Device& d) {
    return !d.name.isInterface && m_bus.m_owing.contains(keyOf(AdapterBus::addressOf(d)));
}

BusStatus AdapterTurn::awaitAnswer(const Device& d) {
    if (!answerQueued(d)) {
        return BusStatus::Empty;
    }
    // Waiting for an answer is reading: one read of the adapter, its first bytes kept for
    // take(). When nothing came in it, the caller asks again in a turn of its own, so that
    // the others have their turns meanwhile and an answer that never comes holds nobody.
    const Outcome came = m_bus.m_adapter.awaitMessage(AdapterBus::addressOf(d), limits());
    return status(came);
}

bool AdapterTurn::interruptQuery(const Device& d) {
    // A real device keeps its answer; what the server no longer waits for is not read.
    return m_bus.m_owing.erase(keyOf(AdapterBus::addressOf(d))) > 0;
}

// ---- device operations ---------------------------------------------------------------------

BusStatus AdapterTurn::serialPoll(const Device& d, std::uint8_t& stb) {
    const GpibAddress a = AdapterBus::addressOf(d);
    served(a);
    {
        // The bridge's own poll for a service request took the byte with its request.
        const std::lock_guard lk(m_bus.m_mutex);
        if (const auto kept = m_bus.m_polled.find(keyOf(a)); kept != m_bus.m_polled.end()) {
            stb = kept->second;
            m_bus.m_polled.erase(kept);
            return BusStatus::Done;
        }
    }
    const PollResult polled = m_bus.m_adapter.serialPoll(a, limits());
    stb = polled.status;
    return status(polled.outcome);
}

BusStatus AdapterTurn::statusByte(const Device& d, std::uint8_t& stb) {
    // Only what a poll took can be told without polling again.
    const std::lock_guard lk(m_bus.m_mutex);
    const auto kept = m_bus.m_polled.find(keyOf(AdapterBus::addressOf(d)));
    if (kept == m_bus.m_polled.end()) {
        return BusStatus::NotSupported;
    }
    stb = kept->second;
    return BusStatus::Done;
}

BusStatus AdapterTurn::clear(const Device& d) {
    const GpibAddress a = AdapterBus::addressOf(d);
    m_bus.m_owing.erase(keyOf(a));
    m_bus.m_asked.erase(keyOf(a));
    return status(m_bus.m_adapter.clear(a, limits()));
}

BusStatus AdapterTurn::trigger(const Device& d) {
    return status(m_bus.m_adapter.trigger(AdapterBus::addressOf(d), limits()));
}

BusStatus AdapterTurn::remote(const Device& d) {
    return status(m_bus.m_adapter.remote(AdapterBus::addressOf(d), limits()));
}

BusStatus AdapterTurn::local(const Device& d) {
    return status(m_bus.m_adapter.local(AdapterBus::addressOf(d), limits()));
}

BusStatus AdapterTurn::remoteLocal(const Device& d, RemoteLocal what) {
    const GpibAddress a = AdapterBus::addressOf(d);
    PlusPlusAdapter& adapter = m_bus.m_adapter;
    switch (what) {
    case RemoteLocal::DisableRemote:
    case RemoteLocal::DisableRemoteGoLocal:
        return status(adapter.remoteEnable(false, limits()));
    case RemoteLocal::EnableRemote:
        return status(adapter.remoteEnable(true, limits()));
    case RemoteLocal::EnableRemoteGoRemote:
        return status(adapter.remote(a, limits()));
    case RemoteLocal::EnableRemoteLockLocal:
    case RemoteLocal::EnableRemoteGoRemoteLockLocal: {
        const Outcome enabled = what == RemoteLocal::EnableRemoteLockLocal
                                    ? adapter.remoteEnable(true, limits())
                                    : adapter.remote(a, limits());
        return enabled == Outcome::Done ? status(adapter.lockout(a, limits())) : status(enabled);
    }
    case RemoteLocal::GoLocal:
        return status(adapter.local(a, limits()));
    }
    return BusStatus::NotSupported;
}

// ---- the interface -------------------------------------------------------------------------

BusStatus AdapterTurn::sendCommand(std::span<const std::uint8_t> bytes) {
    // Addressing alone has no `++` command of its own: the adapter addresses a device with the
    // data it sends it. It is kept here, for the client's next data and for NDAC.
    if (trackAddressing(bytes)) {
        return BusStatus::Done;
    }
    // A sequence the adapter cannot do is refused whole, with nothing sent.
    const BusStatus sent = status(m_bus.m_adapter.sendCommand(bytes, limits()));
    if (sent == BusStatus::Done) {
        m_bus.m_listeners.clear(); // what follows addressed commands is no data phase of ours
        m_bus.m_talkerAddressed.reset();
    }
    return sent;
}

bool AdapterTurn::trackAddressing(std::span<const std::uint8_t> bytes) {
    constexpr std::uint8_t kListenBase = 0x20;
    constexpr std::uint8_t kUnl = 0x3F;
    constexpr std::uint8_t kTalkBase = 0x40;
    constexpr std::uint8_t kUnt = 0x5F;
    constexpr std::uint8_t kSecondaryBase = 0x60;
    constexpr std::uint8_t kLastSecondary = 0x7E;
    std::vector<GpibAddress> listeners = m_bus.m_listeners;
    std::optional<GpibAddress> talker = m_bus.m_talkerAddressed;
    // What an MSA names: the primary of the last MLA or MTA, with its secondary.
    enum class Last { None, Listen, Talk } last = Last::None;
    std::uint8_t primary = 0;
    bool firstSecondary = true;
    for (const std::uint8_t raw : bytes) {
        const auto b = static_cast<std::uint8_t>(raw & 0x7F);
        if (b == kUnl) {
            listeners.clear();
            last = Last::None;
        } else if (b == kUnt) {
            talker.reset();
            last = Last::None;
        } else if (b >= kListenBase && b < kUnl) {
            primary = static_cast<std::uint8_t>(b - kListenBase);
            listeners.push_back(GpibAddress{primary, {}});
            last = Last::Listen;
            firstSecondary = true;
        } else if (b >= kTalkBase && b < kUnt) {
            primary = static_cast<std::uint8_t>(b - kTalkBase);
            // The controller addressing itself to talk leaves no device talking.
            talker.reset();
            if (primary != m_bus.m_ownAddress) {
                talker = GpibAddress{primary, {}};
            }
            last = primary != m_bus.m_ownAddress ? Last::Talk : Last::None;
            firstSecondary = true;
        } else if (b >= kSecondaryBase && b <= kLastSecondary && last != Last::None) {
            const auto secondary = static_cast<std::uint8_t>(b - kSecondaryBase);
            if (last == Last::Talk) {
                talker->secondary = secondary;
            } else if (firstSecondary) {
                listeners.back().secondary = secondary;
            } else {
                // Several MSAs after one MLA: every device at those secondaries listens.
                listeners.push_back(GpibAddress{primary, secondary});
            }
            firstSecondary = false;
        } else {
            return false; // a command of its own: the adapter's to do
        }
    }
    m_bus.m_listeners = std::move(listeners);
    m_bus.m_talkerAddressed = talker;
    return true;
}

BusStatus AdapterTurn::setAtn(bool on) {
    // The adapter releases ATN after every command it sends: releasing it is done already.
    return on ? BusStatus::NotSupported : BusStatus::Done;
}

BusStatus AdapterTurn::setRen(bool on) {
    return status(m_bus.m_adapter.remoteEnable(on, limits()));
}

BusStatus AdapterTurn::ifc() {
    m_bus.m_listeners.clear();
    m_bus.m_talkerAddressed.reset();
    return status(m_bus.m_adapter.interfaceClear(limits()));
}

BusStatus AdapterTurn::ndac(std::uint16_t& value) {
    value = 0;
    const std::vector<GpibAddress>& addressed = m_bus.m_listeners;
    if (addressed.empty()) {
        return BusStatus::Done; // nobody addressed: nobody holds NDAC
    }
    const auto now = std::chrono::steady_clock::now();
    if (!m_bus.m_found || now - m_bus.m_foundAt > kSearchValid) {
        AddressList found = m_bus.m_adapter.findListeners(limits());
        if (found.outcome == Outcome::NotSupported) {
            // No listener search (Prologix): a device that answers a serial poll listens.
            found = m_bus.m_adapter.answeringSerialPoll(addressed, limits());
            if (found.outcome != Outcome::Done) {
                return status(found.outcome);
            }
            value = found.addresses.empty() ? 0 : 1;
            return BusStatus::Done;
        }
        if (found.outcome != Outcome::Done) {
            return status(found.outcome);
        }
        m_bus.m_found = std::move(found.addresses);
        m_bus.m_foundAt = now;
    }
    const auto& list = *m_bus.m_found;
    const bool listening = std::any_of(addressed.begin(), addressed.end(), [&](const auto& a) {
        return std::find(list.begin(), list.end(), a) != list.end();
    });
    value = listening ? 1 : 0;
    return BusStatus::Done;
}

BusStatus AdapterTurn::busStatus(std::uint32_t request, std::uint16_t& value) {
    namespace bs = vxi11::busstatus;
    value = 0;
    switch (request) {
    case bs::kRemote:
    case bs::kSrq: {
        const LineResult line = request == bs::kRemote ? m_bus.m_adapter.renLine(limits())
                                                       : m_bus.m_adapter.srqLine(limits());
        value = line.asserted ? 1 : 0;
        return status(line.outcome);
    }
    case bs::kNdac:
        return ndac(value);
    case bs::kSystemController:
    case bs::kControllerInCharge:
        value = 1; // the adapter runs as the controller in charge
        return BusStatus::Done;
    case bs::kTalker:
    case bs::kListener:
        return BusStatus::Done; // the controller talks and listens only within its calls
    case bs::kBusAddress:
        value = static_cast<std::uint16_t>(m_bus.m_ownAddress);
        return BusStatus::Done;
    default:
        return BusStatus::BadParameter;
    }
}

BusStatus AdapterTurn::setBusAddress(std::uint32_t address) {
    // The adapter's own address is not the bridge's to move.
    return address == static_cast<std::uint32_t>(m_bus.m_ownAddress) ? BusStatus::Done
                                                                     : BusStatus::NotSupported;
}

} // namespace gateway::adapter
