#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace rawsocket {

/// Finds where a reply on a byte stream ends, without mistaking a termination character inside
/// an IEEE 488.2 block or a quoted string for the end.
///
/// A stream has no END, so a reply ends at its terminator (LF as a rule). Binary data can hold
/// that byte anywhere, so the scanner follows the reply's syntax as the bytes pass. A block or
/// a string can only begin a response data element: at the start of the reply or of a message
/// after `;`, after `,`, or after the space that ends a response header (`CURV #41000...`);
/// blanks before the element are allowed. Anywhere else `#` and `"` are plain text, so
/// `ACME,SN#21045,1,1` and `ACME,PANEL 7" LCD,1,1` end at their LF. Where an element begins:
/// - `#N` followed by N decimal digits (N 1-9) announces a definite-length block of that many
///   bytes, which pass unexamined; the terminator after the block ends the reply.
/// - `#0` announces an indefinite-length block, which only END could close: from there on no
///   byte ends the reply (the read ends at its count, the peer's close or the time-out), until
///   reset().
/// - A double-quoted string hides the terminator too (a doubled `""` stays inside).
/// - `#` followed by anything else (`#H1F`, `#Q17`, `#B101`, `#3` without its digits) is
///   ordinary text: the byte after it is looked at again as text.
/// Only a terminator met as plain text ends a reply; the next byte begins a new reply. The state
/// carries over between calls, so a header or a block split over any number of pieces is followed
/// exactly. With block awareness off, the first terminator ends the reply, wherever it stands (for
/// replies whose text holds `#` and a digit or an unbalanced quote).
///
/// Pure: no I/O, no allocation.
class BlockScanner {
public:
    /// What one call to scan() found.
    struct Step {
        std::size_t consumed = 0; ///< bytes that belong to the reply, the terminator included
        bool terminated = false;  ///< the last consumed byte ended the reply
    };

    explicit BlockScanner(bool blockAware = true) noexcept : m_aware(blockAware) {}

    /// Scans `bytes` in order and stops after the first byte that ends the reply; with
    /// `term` nullopt nothing ends it and all is consumed. The data of a definite block is
    /// skipped in one step, not byte by byte.
    Step scan(std::span<const std::uint8_t> bytes, std::optional<std::uint8_t> term) noexcept;

    /// Bytes of a definite block's data still to come (0 outside a block's data): they can
    /// be taken as they are, no terminator among them.
    std::uint64_t blockDataLeft() const noexcept { return m_state == State::Data ? m_left : 0; }
    /// Inside an indefinite block (`#0`): nothing ends the reply but count or time-out.
    bool inIndefiniteBlock() const noexcept { return m_state == State::Indefinite; }

    bool blockAware() const noexcept { return m_aware; }
    void setBlockAware(bool aware) noexcept;

    /// Back to plain text: a new reply begins.
    void reset() noexcept;

private:
    enum class State : std::uint8_t { Text, Quoted, QuoteEnd, Hash, Digits, Data, Indefinite };

    /// One byte outside a block's data; true when it ends the reply.
    bool step(std::uint8_t byte, std::optional<std::uint8_t> term) noexcept;
    bool text(std::uint8_t byte, std::optional<std::uint8_t> term) noexcept;
    /// Back to the start of a response message (its header may follow).
    void messageStart() noexcept;

    bool m_aware;
    State m_state = State::Text;
    bool m_elementStart = true; ///< the next byte may begin a block or a string
    bool m_inHeader = true;     ///< in the first element of a message, no blank seen yet
    int m_digitsLeft = 0;       ///< length digits still to come (Digits)
    std::uint64_t m_left = 0;   ///< the length read so far (Digits), data bytes left (Data)
};

} // namespace rawsocket
