#include "gateway/simbus/Bus.h"

#include "vxi11/codec/DocmdMessages.h"
#include "vxi11/codec/GpibCommands.h"

namespace gateway {

using namespace vxi11::gpib;

Bus::Bus(const std::vector<InstrumentConfig>& instruments, int busAddress,
         std::size_t maxQueueBytes)
    : m_address(busAddress) {
    m_instruments.reserve(instruments.size());
    for (const InstrumentConfig& c : instruments) {
        m_instruments.emplace_back(c, maxQueueBytes);
    }
}

Instrument* Bus::find(int pad, std::optional<int> sad) {
    for (Instrument& i : m_instruments) {
        if (i.pad() == pad && i.sad() == sad) {
            return &i;
        }
    }
    return nullptr;
}

void Bus::sendCommand(std::string_view bytes, Clock::time_point now) {
    m_atn = true;
    for (char c : bytes) {
        command(static_cast<std::uint8_t>(static_cast<unsigned char>(c) & kCommandBits), now);
    }
}

void Bus::sendCommand(std::uint8_t byte, Clock::time_point now) {
    m_atn = true;
    command(byte & kCommandBits, now);
}

void Bus::command(std::uint8_t byte, Clock::time_point) {
    if (byte >= kListenBase && byte < kUnl) {
        listen(byte - kListenBase);
    } else if (byte >= kTalkBase && byte < kUnt) {
        talk(byte - kTalkBase);
    } else if (byte >= kSecondaryBase) {
        secondary(byte - kSecondaryBase); // several MSAs may follow one MLA/MTA
    } else {
        m_pendingListen = -1;
        m_pendingTalk = -1;
        universal(byte);
    }
}

void Bus::listen(int address) {
    if (address == m_address) {
        m_listener = true;
    }
    for (Instrument& i : m_instruments) {
        if (i.pad() == address && !i.sad()) {
            addressToListen(i);
        }
    }
    m_pendingListen = address;
    m_pendingTalk = -1;
}

void Bus::addressToListen(Instrument& i) const {
    i.listener = true;
    if (m_ren) {
        i.remote = true;
    }
}

void Bus::talk(int address) {
    // Only one talker at a time.
    m_talker = address == m_address;
    for (Instrument& i : m_instruments) {
        i.talker = i.pad() == address && !i.sad();
    }
    m_pendingTalk = address;
    m_pendingListen = -1;
}

void Bus::secondary(int address) {
    // Completes the address of the primary named just before.
    for (Instrument& i : m_instruments) {
        if (!i.sad() || *i.sad() != address) {
            continue;
        }
        if (i.pad() == m_pendingListen) {
            addressToListen(i);
        }
        if (i.pad() == m_pendingTalk) {
            for (Instrument& other : m_instruments) {
                other.talker = false;
            }
            i.talker = true;
        }
    }
}

void Bus::forEach(bool listenersOnly, const std::function<void(Instrument&)>& act) {
    for (Instrument& i : m_instruments) {
        if (!listenersOnly || i.listener) {
            act(i);
        }
    }
}

void Bus::universal(std::uint8_t byte) {
    switch (byte) {
    case kUnl:
        m_listener = false;
        forEach(false, [](Instrument& i) { i.listener = false; });
        break;
    case kUnt:
        m_talker = false;
        forEach(false, [](Instrument& i) { i.talker = false; });
        break;
    case kGtl:
        forEach(true, [](Instrument& i) { i.remote = false; });
        break;
    case kSdc:
        forEach(true, [](Instrument& i) { i.deviceClear(); });
        break;
    case kGet:
        forEach(true, [](Instrument& i) { i.trigger(); });
        break;
    case kLlo:
        forEach(false, [](Instrument& i) { i.lockout = true; });
        break;
    case kDcl:
        forEach(false, [](Instrument& i) { i.deviceClear(); });
        break;
    case kSpe:
        m_serialPoll = true;
        break;
    case kSpd:
        m_serialPoll = false;
        break;
    default:
        break; // PPC, PPU, TCT and unassigned codes change nothing here
    }
}

void Bus::setRen(bool on) {
    m_ren = on;
    if (!on) {
        for (Instrument& i : m_instruments) {
            i.remote = false;
            i.lockout = false;
        }
    }
}

void Bus::ifc() {
    ++m_ifcCount;
    m_talker = false;
    m_listener = false;
    m_serialPoll = false;
    m_pendingListen = -1;
    m_pendingTalk = -1;
    for (Instrument& i : m_instruments) {
        i.talker = false;
        i.listener = false;
    }
}

bool Bus::ndac() const {
    // While ATN is asserted every present device takes part in the handshake, and an acceptor
    // ready for the next byte holds NDAC. With ATN released only addressed listeners take
    // part, and an idle one holds it (the gateway, as talker, sends nothing).
    if (m_atn) {
        return !m_instruments.empty();
    }
    for (const Instrument& i : m_instruments) {
        if (i.listener) {
            return true;
        }
    }
    return false;
}

bool Bus::srq(Clock::time_point now) {
    for (Instrument& i : m_instruments) {
        if (i.requestingService(now)) {
            return true;
        }
    }
    return false;
}

std::optional<std::uint16_t> Bus::status(std::uint32_t request, Clock::time_point now) {
    using namespace vxi11::busstatus;
    switch (request) {
    case kRemote:
        return m_ren ? 1 : 0;
    case kSrq:
        return srq(now) ? 1 : 0;
    case kNdac:
        return ndac() ? 1 : 0;
    case kSystemController:
        return 1;
    case kControllerInCharge:
        return 1;
    case kTalker:
        return m_talker ? 1 : 0;
    case kListener:
        return m_listener ? 1 : 0;
    case kBusAddress:
        return static_cast<std::uint16_t>(m_address);
    default:
        return std::nullopt;
    }
}

bool Bus::setBusAddress(std::uint32_t address) {
    if (address > kMaxAddress) {
        return false;
    }
    m_address = static_cast<int>(address);
    return true;
}

Instrument* Bus::talker() {
    for (Instrument& i : m_instruments) {
        if (i.talker) {
            return &i;
        }
    }
    return nullptr;
}

std::vector<Instrument*> Bus::listeners() {
    std::vector<Instrument*> out;
    for (Instrument& i : m_instruments) {
        if (i.listener) {
            out.push_back(&i);
        }
    }
    return out;
}

BusSnapshot Bus::snapshot(Clock::time_point now) {
    BusSnapshot s;
    s.atn = m_atn;
    s.ren = m_ren;
    s.srq = srq(now);
    s.ndac = ndac();
    s.talker = m_talker;
    s.listener = m_listener;
    s.busAddress = m_address;
    s.ifcCount = m_ifcCount;
    return s;
}

} // namespace gateway
