#pragma once
// The simulated IEEE-488 bus behind the interface link: the lines REN, ATN, SRQ, NDAC and IFC,
// listener/talker addressing by command bytes, and the instruments on it. Not thread-safe:
// the simulator guards it with its mutex.

#include "gateway/instrument/Instrument.h"
#include "gateway/simbus/BusSnapshot.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace gateway {

class Bus {
public:
    Bus(const std::vector<InstrumentConfig>& instruments, int busAddress,
        std::size_t maxQueueBytes);

    /// The instrument at (pad, sad) exactly, if present.
    Instrument* find(int pad, std::optional<int> sad);
    /// Every instrument on the bus (the set never changes).
    std::vector<Instrument>& instruments() { return m_instruments; }

    /// Command bytes sent with ATN asserted; ATN stays asserted afterwards.
    void sendCommand(std::string_view bytes, Clock::time_point now);
    /// One command byte, as above.
    void sendCommand(std::uint8_t byte, Clock::time_point now);
    void setAtn(bool on) { m_atn = on; }
    bool ren() const { return m_ren; }
    /// REN; releasing it returns every device to local and cancels local lockout.
    void setRen(bool on);
    /// Interface clear: unaddresses everything, ends serial-poll mode.
    void ifc();
    /// Answer to a bus status request, or nothing for an unknown request code.
    std::optional<std::uint16_t> status(std::uint32_t request, Clock::time_point now);
    bool setBusAddress(std::uint32_t address);

    /// NDAC: asserted while ATN is asserted and any device is present, or while ATN is
    /// released and an addressed listener is present.
    bool ndac() const;
    bool srq(Clock::time_point now);

    /// The instrument currently addressed to talk, if any.
    Instrument* talker();
    /// Instruments currently addressed to listen.
    std::vector<Instrument*> listeners();
    bool serialPollMode() const { return m_serialPoll; }

    BusSnapshot snapshot(Clock::time_point now);

private:
    void command(std::uint8_t byte, Clock::time_point now);
    /// MLA, MTA and MSA: address an instrument (or the gateway) to listen or talk.
    void listen(int address);
    void talk(int address);
    void secondary(int address);
    void addressToListen(Instrument& i) const;
    /// The universal and addressed commands (UNL, UNT, GTL, SDC, GET, LLO, DCL, SPE, SPD).
    void universal(std::uint8_t byte);
    /// Runs `act` on every instrument, or on the addressed listeners only.
    void forEach(bool listenersOnly, const std::function<void(Instrument&)>& act);

    std::vector<Instrument> m_instruments;
    int m_address;
    bool m_atn = false;
    bool m_ren = false;
    bool m_talker = false;
    bool m_listener = false;
    bool m_serialPoll = false;
    int m_pendingListen = -1; ///< primary of the last MLA, for a following MSA
    int m_pendingTalk = -1;   ///< primary of the last MTA, for a following MSA
    unsigned m_ifcCount = 0;
};

} // namespace gateway
