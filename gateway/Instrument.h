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
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

/// Bytes of an answer as a read takes them: text copied out, and a stretch of the waveform
/// that is made only as it is sent (it is a function of its offset alone), so that a block of
/// any size takes no memory.
struct AnswerBytes {
    std::vector<std::uint8_t> head;
    std::uint64_t waveformOffset = 0; ///< where the stretch starts in the waveform
    std::uint64_t waveformLength = 0;
    std::vector<std::uint8_t> tail;

    std::uint64_t size() const { return head.size() + waveformLength + tail.size(); }
    /// The byte at `at` (< size()), for a look at the last one.
    std::uint8_t at(std::uint64_t at) const;
};

class Instrument {
public:
    Instrument(InstrumentConfig config, std::size_t maxQueueBytes);

    std::optional<int> sad() const { return m_config.sad; }
    void setFaults(const InstrumentFaults& faults) { m_config.faults = faults; }

    int pad() const { return m_config.pad; }
    /// The VXI-11 device name of a LAN instrument; empty for one on the bus.
    const std::string& name() const { return m_config.name; }

    /// Data bytes from the bus or the link; `end` is the END (EOI) with the last byte. Complete
    /// program messages (ended by LF or END) are executed at once. The data of a
    /// definite-length block (`#NLEN...`) is taken as it is, LF included, and only counted.
    void receive(std::string_view data, bool end, Clock::time_point now);

    /// True if a response byte is readable at `now`.
    bool hasOutput(Clock::time_point now) const;
    /// When the next response becomes readable, if one is queued.
    std::optional<Clock::time_point> nextOutputTime() const;
    /// Bytes left of the response readable at `now` (0 if none).
    std::uint64_t readable(Clock::time_point now) const;
    /// Takes up to `out.size()` bytes of the readable response into `out`, stopping after
    /// `termChar` (if set); returns how many. `end` reports that the last byte taken ended the
    /// response (END).
    std::size_t takeOutput(std::span<std::uint8_t> out, std::optional<std::uint8_t> termChar,
                           bool& end, Clock::time_point now);
    /// Takes up to `max` bytes of the readable response into `out` (whose head is reused),
    /// leaving a waveform's data to be made as it is sent. `end` as above.
    void takeOutput(std::uint64_t max, AnswerBytes& out, bool& end, Clock::time_point now);

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
    /// An answer: `head`, then `generated` bytes of the waveform, then `tail`. Only a waveform
    /// block has the last two; `taken` counts the bytes read so far.
    struct Response {
        std::string head;
        std::uint64_t generated = 0;
        std::string tail;
        std::uint64_t taken = 0;
        Clock::time_point readyAt;

        std::uint64_t size() const { return head.size() + generated + tail.size(); }
    };
    /// The answer of one query unit: text, or a block whose data is made as it is read.
    struct Reply {
        std::string text;
        std::uint64_t waveform = 0; ///< bytes of waveform after `text`
    };
    /// Where a definite-length block's header stands in the input.
    enum class BlockHeader { None, Hash, Digits };

    /// One byte of a program message outside block data.
    void receiveByte(char c, bool last, Clock::time_point now);
    /// Follows `c` through a block header (`#`, a digit N, N digits of length).
    void scanBlockHeader(char c);
    void endMessage(Clock::time_point now);
    void execute(const std::string& message, Clock::time_point now);
    bool executeUnit(std::string_view unit, Reply& reply);
    /// The commands with a behaviour of their own; false for any other header.
    bool executeBehaviour(const std::string& header, std::string_view args, Reply& reply);
    /// The IEEE 488.2 common commands and queries; false for any other header.
    bool executeCommon(const std::string& header, std::string_view args, std::string& reply);
    /// A register set from a command's argument (0-255), or an execution error.
    void setRegister(std::uint8_t& reg, std::string_view args);
    void pushError(int code, std::string_view text);
    void pushResponse(Response response, Clock::time_point now);
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
    std::uint64_t m_waveformPoints = kDefaultWaveformPoints;
    BlockHeader m_blockHeader = BlockHeader::None;
    int m_blockDigits = 0; ///< length digits still to come
    std::uint64_t m_blockLength = 0;
    std::uint64_t m_blockLeft = 0;    ///< data bytes of the current block still to come
    std::uint64_t m_messageBlock = 0; ///< block bytes in the message being received
    std::uint64_t m_acceptedBytes = 0;
};

} // namespace gateway
