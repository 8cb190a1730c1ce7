#pragma once
// An IEEE 488.2 instrument, run by one engine from its parts: the program-message parser, the
// command table, the output queue and the status model. Not thread-safe: the bus owns it and
// the simulator guards the bus with its mutex.

#include "gateway/instrument/CommandTable.h"
#include "gateway/instrument/InstrumentConfig.h"
#include "gateway/instrument/OutputQueue.h"
#include "gateway/instrument/ProgramParser.h"
#include "gateway/instrument/Snapshots.h"
#include "gateway/instrument/StatusModel.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace gateway {

class Instrument {
public:
    Instrument(InstrumentConfig config, std::size_t maxQueueBytes);

    std::optional<int> sad() const { return m_config.sad; }
    void setFaults(const InstrumentFaults& faults) { m_config.faults = faults; }
    const InstrumentFaults& faults() const { return m_config.faults; }

    int pad() const { return m_config.pad; }
    /// The VXI-11 device name of a LAN instrument; empty for one on the bus.
    const std::string& name() const { return m_config.name; }

    /// Data bytes from the bus or the link; `end` is the END (EOI) with the last byte. Complete
    /// program messages (ended by LF or END) are executed at once. The data of a
    /// definite-length block (`#NLEN...`) is taken as it is, LF included, and only counted.
    /// A LAN instrument keeps what each client (`who`) sent of an unfinished message apart,
    /// as an instrument with several sessions parses each session's messages apart; on the
    /// bus there is one stream of bytes, whoever sends them.
    void receive(std::string_view data, bool end, Clock::time_point now, std::uint64_t who = 0);
    /// As receive(), but stops after the first program message that ends (its answer, if any,
    /// is then queued); returns the bytes used. Stream servers take each answer before the
    /// next message begins, so that queries sent back to back are all answered.
    std::size_t receiveOne(std::string_view data, bool end, Clock::time_point now,
                           std::uint64_t who = 0);
    /// Forgets the program message `who` was sending (its client left halfway); on the bus,
    /// where every client's bytes are one stream, nothing.
    void forgetInput(std::uint64_t who = 0);
    /// True while the bytes `who` sent end inside a program message.
    bool midMessage(std::uint64_t who = 0) const;

    /// True if a response byte is readable at `now`.
    bool hasOutput(Clock::time_point now) const { return m_output.hasOutput(now); }
    /// True while an answer is queued, readable yet or not.
    bool answerQueued() const { return !m_output.empty(); }
    /// When the next response becomes readable, if one is queued.
    std::optional<Clock::time_point> nextOutputTime() const { return m_output.nextOutputTime(); }
    /// Bytes left of the response readable at `now` (0 if none).
    std::uint64_t readable(Clock::time_point now) const { return m_output.readable(now); }
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
    bool requestingService(Clock::time_point now) {
        // Looked at for every instrument after every call; most enable nothing.
        return m_status.serviceEnable() == 0 ? m_status.requestingNothing()
                                             : m_status.requestingService(messageAvailable(now));
    }
    /// How many times its SRQ has risen (StatusModel::requests).
    std::uint32_t serviceRequests() const { return m_status.requests(); }

    /// Device clear (SDC, DCL): empties the input and output queues.
    void deviceClear();
    /// A new message while an answer is unread: the answer goes and the error queue records
    /// the query interrupted. False (nothing done) when no answer was queued.
    bool interruptQuery();
    /// Records a query interrupted without dropping anything (a client sent on before it had
    /// read an answer that had already left the instrument).
    void queryInterrupted();
    /// A server that has sent an answer on keeps its message available (MAV) until its client
    /// says the answer arrived: each hold counts until released.
    /// Whether MAV rose with it (nothing was readable at `now`, nothing held).
    bool holdMessage(Clock::time_point now) {
        const bool rose = !messageAvailable(now);
        ++m_heldMessages;
        return rose;
    }
    /// The status follows at once, so that a request rising later is known as a new one.
    void releaseMessage(Clock::time_point now) {
        m_heldMessages -= m_heldMessages > 0 ? 1 : 0;
        m_status.update(messageAvailable(now));
    }
    /// Group execute trigger.
    void trigger() { ++m_settings.triggers; }

    bool remote = false;
    bool lockout = false;
    /// Remote enable of a LAN instrument (on the bus, the REN line is the bus's).
    bool remoteEnable = true;
    bool listener = false;
    bool talker = false;
    /// When a trickling talker (InstrumentFaults::trickle) can send its next byte.
    Clock::time_point nextByteAt{};

    InstrumentSnapshot snapshot(Clock::time_point now);

private:
    /// Hands what the parser finds, at the moment it came, to the engine.
    class Receiver;

    /// MAV: an answer readable, or one held by a server.
    bool messageAvailable(Clock::time_point now) const {
        return m_output.hasOutput(now) || m_heldMessages > 0;
    }
    /// Runs each unit of a program message and queues the answer of its queries.
    void execute(const std::string& message, std::uint64_t blockBytes, Clock::time_point now);
    /// Runs one unit by its row; false for a header the instrument does not know.
    bool run(const ProgramUnit& unit, std::uint64_t blockBytes, Reply& reply);
    /// Queues an answer with the instrument's terminator, or an error when the queue is full.
    void respond(Answer answer, Clock::time_point now);

    InstrumentConfig m_config;
    /// Makes `who`'s unfinished message the one being received, keeping another client's
    /// apart (a LAN instrument only).
    void inputOf(std::uint64_t who);

    ProgramParser m_parser;
    std::uint64_t m_inputOwner = 0; ///< whose message m_parser holds
    /// The unfinished messages of other clients, oldest first (a LAN instrument only).
    std::vector<std::pair<std::uint64_t, ProgramParser>> m_otherInputs;
    OutputQueue m_output;
    StatusModel m_status;
    InstrumentSettings m_settings;
    std::string m_lastCommand;
    std::vector<ProgramUnit> m_units; ///< the units of the message being carried out
    unsigned m_clears = 0;
    unsigned m_heldMessages = 0;
};

} // namespace gateway
