#include "gateway/Bus.h"

#include "vxi11/codec/DocmdMessages.h"

namespace gateway {

using namespace gpib;

Bus::Bus(const std::vector<InstrumentConfig>& instruments, int busAddress,
         std::size_t maxQueueBytes)
    : m_address(busAddress) {
    m_instruments.reserve(instruments.size());
    for (const InstrumentConfig& c : instruments)
        m_instruments.emplace_back(c, maxQueueBytes);
}

Instrument* Bus::find(int pad, std::optional<int> sad) {
    for (Instrument& i : m_instruments)
        if (i.pad() == pad && i.sad() == sad)
            return &i;
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

void Bus::command(std::uint8_t byte, Clock::time_point now) {
    const bool secondary = byte >= kSecondaryBase;
    if (byte >= kListenBase && byte < kUnl) { // MLA
        const int a = byte - kListenBase;
        if (a == m_address)
            m_listener = true;
        for (Instrument& i : m_instruments) {
            if (i.pad() == a && !i.sad()) {
                i.listener = true;
                if (m_ren)
                    i.remote = true;
            }
        }
        m_pendingListen = a;
        m_pendingTalk = -1;
        return;
    }
    if (byte >= kTalkBase && byte < kUnt) { // MTA: only one talker at a time
        const int a = byte - kTalkBase;
        m_talker = a == m_address;
        for (Instrument& i : m_instruments)
            i.talker = i.pad() == a && !i.sad();
        m_pendingTalk = a;
        m_pendingListen = -1;
        return;
    }
    if (secondary) { // MSA: completes the address of the primary named just before
        const int s = byte - kSecondaryBase;
        for (Instrument& i : m_instruments) {
            if (!i.sad() || *i.sad() != s)
                continue;
            if (i.pad() == m_pendingListen) {
                i.listener = true;
                if (m_ren)
                    i.remote = true;
            }
            if (i.pad() == m_pendingTalk) {
                for (Instrument& other : m_instruments)
                    other.talker = false;
                i.talker = true;
            }
        }
        return; // several MSAs may follow one MLA/MTA
    }
    m_pendingListen = -1;
    m_pendingTalk = -1;
    switch (byte) {
    case kUnl:
        m_listener = false;
        for (Instrument& i : m_instruments)
            i.listener = false;
        break;
    case kUnt:
        m_talker = false;
        for (Instrument& i : m_instruments)
            i.talker = false;
        break;
    case kGtl:
        for (Instrument& i : m_instruments)
            if (i.listener)
                i.remote = false;
        break;
    case kSdc:
        for (Instrument& i : m_instruments)
            if (i.listener)
                i.deviceClear();
        break;
    case kGet:
        for (Instrument& i : m_instruments)
            if (i.listener)
                i.trigger();
        break;
    case kLlo:
        for (Instrument& i : m_instruments)
            i.lockout = true;
        break;
    case kDcl:
        for (Instrument& i : m_instruments)
            i.deviceClear();
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
    (void)now;
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
    if (m_atn)
        return !m_instruments.empty();
    for (const Instrument& i : m_instruments)
        if (i.listener)
            return true;
    return false;
}

bool Bus::srq(Clock::time_point now) {
    for (Instrument& i : m_instruments)
        if (i.requestingService(now))
            return true;
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
    if (address > kMaxAddress)
        return false;
    m_address = static_cast<int>(address);
    return true;
}

Instrument* Bus::talker() {
    for (Instrument& i : m_instruments)
        if (i.talker)
            return &i;
    return nullptr;
}

std::vector<Instrument*> Bus::listeners() {
    std::vector<Instrument*> out;
    for (Instrument& i : m_instruments)
        if (i.listener)
            out.push_back(&i);
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
