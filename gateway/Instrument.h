#pragma once
// An IEEE 488.2 instrument: input and output queues, status byte, standard event status,
// error queue, and a command table run by one engine. Not thread-safe: the bus owns it and
// the simulator guards the bus with its mutex.

#include "gateway/Config.h"
#include "gateway/Snapshots.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace gateway {

using Clock = std::chrono::steady_clock;

/// Status byte bits.
namespace stb {
constexpr std::uint8_t kEav = 0x04; ///< error queue not empty
constexpr std::uint8_t kMav = 0x10; ///< message available
constexpr std::uint8_t kEsb = 0x20; ///< event status summary
constexpr std::uint8_t kRqs = 0x40; ///< requesting service
} // namespace stb

/// Standard event status register bits.
namespace esr {
constexpr std::uint8_t kOpc = 0x01;
constexpr std::uint8_t kQueryError = 0x04;
constexpr std::uint8_t kExecutionError = 0x10;
constexpr std::uint8_t kCommandError = 0x20;
} // namespace esr

class Instrument {
public:
    Instrument(InstrumentConfig config, std::size_t maxQueueBytes);

    int pad() const { return m_config.pad; }
    std::optional<int> sad() const { return m_config.sad; }
    void setFaults(const InstrumentFaults& faults) { m_config.faults = faults; }

    /// Data bytes from the bus; `end` is the END (EOI) with the last byte. Complete program
    /// messages (ended by LF or END) are executed at once.
    void receive(std::string_view data, bool end, Clock::time_point now);

    /// True if a response byte is readable at `now`.
    bool hasOutput(Clock::time_point now) const;
    /// When the next response becomes readable, if one is queued.
    std::optional<Clock::time_point> nextOutputTime() const;
    /// Takes up to `max` bytes of the readable response, stopping after `termChar` (if set).
    /// `end` reports that the last byte taken ended the response (END).
    std::string takeOutput(std::size_t max, std::optional<std::uint8_t> termChar, bool& end,
                           Clock::time_point now);

    /// Status byte as a serial poll reads it at `now`.
    std::uint8_t statusByte(Clock::time_point now);
    /// Serial poll: returns the status byte and clears RQS.
    std::uint8_t serialPoll(Clock::time_point now);
    /// True while the instrument asserts SRQ.
    bool requestingService(Clock::time_point now);

    /// Device clear (SDC, DCL): empties the input and output queues.
    void deviceClear();
    /// Group execute trigger.
    void trigger() { ++m_triggers; }

    bool remote = false;
    bool lockout = false;
    bool listener = false;
    bool talker = false;

    InstrumentSnapshot snapshot(Clock::time_point now);

private:
    struct Response {
        std::string bytes;
        Clock::time_point readyAt;
    };

    void execute(const std::string& message, Clock::time_point now);
    bool executeUnit(std::string_view unit, std::string& reply);
    /// The IEEE 488.2 common commands and queries; false for any other header.
    bool executeCommon(const std::string& header, std::string_view args, std::string& reply);
    /// A register set from a command's argument (0-255), or an execution error.
    void setRegister(std::uint8_t& reg, std::string_view args);
    void pushError(int code, std::string_view text);
    void pushResponse(std::string text, Clock::time_point now);
    std::uint8_t summaryBits(Clock::time_point now) const;
    void updateService(Clock::time_point now);
    std::size_t outputBytes() const;

    InstrumentConfig m_config;
    std::size_t m_maxQueue;
    std::string m_input;
    std::string m_lastCommand;
    std::deque<Response> m_output;
    std::deque<std::string> m_errors;
    std::uint8_t m_esr = 0;
    std::uint8_t m_ese = 0;
    std::uint8_t m_sre = 0;
    bool m_rqs = false;
    bool m_summaryWasSet = false;
    unsigned m_triggers = 0;
    unsigned m_clears = 0;
};

} // namespace gateway
