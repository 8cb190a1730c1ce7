#pragma once
// The host's byte stream cut into the adapter's lines. A line ends at an unescaped CR or LF;
// ESC makes the byte after it literal (CR, LF, ESC, '+' or any other; the ESC itself is
// dropped); a line that starts with two unescaped '+' is a command, any other line is data
// for the bus; an empty line is dropped.
//
// The line buffer differs. An AR488 has 128 bytes: a full buffer is handled as a line of its
// own, so a long data line reaches the bus in 128-byte pieces, each sent as a whole line is.
// A Prologix flavour passes a long data line on in pieces that join into one message, the
// last piece with the line's end.

#include "gateway/emulator/Settings.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace gateway::emulator {

/// Where the framer hands lines.
class LineSink {
public:
    virtual ~LineSink() = default;
    /// A command line, without its leading "++" and its line end.
    virtual void command(std::string_view text) = 0;
    /// A piece of a data line (not empty); `lineEnd` for the piece that ends it.
    virtual void data(std::span<const std::uint8_t> piece, bool lineEnd) = 0;
};

/// Cuts host bytes into lines for a LineSink.
class LineFramer {
public:
    LineFramer(Flavour flavour, LineSink& sink);

    /// Frames `bytes`, handing each line to the sink as it completes (the sink may take its
    /// time: the rest waits, as it would in the adapter's serial buffer).
    void feed(std::span<const std::uint8_t> bytes);
    /// Forgets the line under way: the host that sent it has gone.
    void reset();
    /// From inside the sink: the rest of the bytes being fed are lost (the adapter restarts).
    void discardRest();

    /// The largest data line an AR488 sends as one piece.
    static constexpr std::size_t kAr488Buffer = 128;

private:
    enum class Kind { Undecided, Command, Data };

    /// Stores one byte of the line; `literal` when ESC came before it.
    void store(std::uint8_t byte, bool literal);
    /// Stores a run of plain data bytes in one go.
    std::size_t storeRun(const std::uint8_t* from, const std::uint8_t* to);
    void full();
    void endLine();

    LineSink& m_sink;
    const std::size_t m_limit; ///< bytes of a line held before a piece goes
    const bool m_joinPieces;   ///< pieces continue one line (Prologix) or are lines (AR488)
    std::vector<std::uint8_t> m_line;
    Kind m_kind = Kind::Undecided;
    bool m_escape = false;
    bool m_discard = false;
};

} // namespace gateway::emulator
