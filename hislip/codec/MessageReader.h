#pragma once

#include "hislip/codec/Message.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace hislip {

/// Incremental reader of HiSLIP messages from one connection's byte stream.
///
/// Feed it whatever arrived; it consumes bytes up to the next event and says what it found.
/// Every header is checked (prologue, type, payload length against its limit) before a byte
/// of its payload is kept, so a claimed length alone never makes it allocate: a payload is
/// collected only when it is within its limit, and grows as its bytes arrive.
///
/// Data and DataEND payloads can be handed out instead of collected (`streamData`): after a
/// Data event the caller takes the payload itself, straight into its own memory, with
/// takeData() or by receiving the bytes elsewhere and reporting them with dataTaken(). Payload
/// bytes given to feed() meanwhile are skipped.
class MessageReader {
public:
    enum class Status {
        NeedMore,  ///< every byte given was used; no event
        Message,   ///< a whole message: header() and payload()
        Data,      ///< the header of a streamed Data/DataEND: its dataLeft() bytes follow
        Refused,   ///< a framed message to refuse (problem()); its payload is skipped as it comes
        Malformed, ///< framing is lost (problem()); the reader takes nothing more until reset()
    };
    enum class Problem {
        None,
        BadPrologue,  ///< the header does not begin with "HS"
        ReservedType, ///< a type this protocol version does not define (26-127)
        VendorType,   ///< a vendor-specific type (128-255)
        TooLarge,     ///< a payload over its limit
    };
    struct Limits {
        /// Largest Data/DataEND payload accepted: the maximum message size announced.
        std::uint64_t maxData = std::uint64_t{1} << 20;
        /// Largest payload of any other message (a sub-address, a lock string, an error text).
        std::uint64_t maxControl = 1024;
        /// Largest payload a refused message may claim and still be skipped; a claim beyond
        /// it is Malformed (problem() still says why the message was refused).
        std::uint64_t maxSkip = 0;
        /// Data payloads are handed out (Data events) instead of collected (Message events).
        bool streamData = true;
    };
    struct Result {
        Status status;
        std::size_t consumed; ///< bytes of the input used; the rest belongs to later events
    };

    explicit MessageReader(Limits limits) : m_limits(limits) {}

    /// Consumes `input` up to the next event, or all of it.
    Result feed(std::span<const std::uint8_t> input);

    /// The header of the last Message, Data or Refused event (and of a TooLarge Malformed).
    const Header& header() const noexcept { return m_header; }
    /// The payload of the last Message event, valid until the next feed().
    std::span<const std::uint8_t> payload() const noexcept { return m_payload; }
    Problem problem() const noexcept { return m_problem; }

    /// Payload bytes of the current streamed Data message not yet taken or skipped.
    std::uint64_t dataLeft() const noexcept { return m_state == State::Data ? m_left : 0; }
    /// Copies the next payload bytes of the current Data message from `input` into `out`;
    /// returns how many (at most the smaller size and dataLeft()).
    std::size_t takeData(std::span<const std::uint8_t> input, std::span<std::uint8_t> out);
    /// Counts `n` payload bytes (at most dataLeft()) that the caller took from the stream itself.
    void dataTaken(std::uint64_t n) noexcept;

    /// New limits, for the messages whose header has not begun yet.
    void setLimits(const Limits& limits) noexcept { m_limits = limits; }
    const Limits& limits() const noexcept { return m_limits; }
    /// True while part of a message (header or payload) has been read.
    bool inMessage() const noexcept;
    /// Forgets everything: a fresh stream.
    void reset() noexcept;

private:
    enum class State { Header, Payload, Data, Skip, Broken };

    /// Judges a complete header: the event it makes, and the state its payload puts us in.
    Status classify();

    Limits m_limits;
    State m_state = State::Header;
    std::uint8_t m_head[kHeaderSize] = {};
    std::size_t m_headFill = 0;
    Header m_header;
    Problem m_problem = Problem::None;
    std::uint64_t m_left = 0; ///< payload bytes still to come (collected, streamed or skipped)
    Bytes m_payload;
};

} // namespace hislip
