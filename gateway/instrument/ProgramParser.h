#pragma once
// IEEE 488.2 program messages from the bytes an instrument receives: a message ends at LF or
// with END, a CR before the LF is dropped, and the data of a definite-length block
// (`#NLEN...`) is taken as it is, LF included, and only counted. An LF inside a quoted string
// (double or single quotes) is part of the string; END ends a message wherever it comes. A
// message splits into its units at semicolons outside strings; a unit is a header and its
// arguments, and a query when its header holds a '?'.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gateway {

/// One unit of a program message.
struct ProgramUnit {
    std::string header;    ///< upper case, without a leading colon: "*IDN?", "WAV:POIN"
    std::string_view args; ///< what follows the header and its blank (points into the message)
    bool query = false;    ///< the unit holds a '?': it expects an answer
};

class ProgramParser {
public:
    /// Told what the parser finds, as it finds it.
    class Sink {
    public:
        /// The first byte of a new program message came.
        virtual void messageBegins() = 0;
        /// A program message is complete; it carried `blockBytes` bytes of block data.
        virtual void messageEnds(const std::string& message, std::uint64_t blockBytes) = 0;
        /// The input queue overflowed: what had come of the message is gone.
        virtual void overrun() = 0;

    protected:
        ~Sink() = default;
    };

    /// `maxInput` bounds the bytes of a message held (block data is not held).
    explicit ProgramParser(std::size_t maxInput) : m_maxInput(maxInput) {}

    /// Bytes from the bus or the link; `end` is the END (EOI) with the last one (with no bytes,
    /// it ends the message being received, if any).
    void receive(std::string_view data, bool end, Sink& sink);
    /// As receive(), but stops after the first program message that ends; returns the bytes
    /// used. The rest is for a later call (with the same `end`).
    std::size_t receiveOne(std::string_view data, bool end, Sink& sink);
    /// Device clear: drops the message being received.
    void clear();
    /// The bytes of the message being received.
    const std::string& pending() const { return m_input; }

    /// The non-empty units of `message`, blanks around each trimmed, into `out` (whose
    /// capacity is kept from one message to the next).
    static void units(const std::string& message, std::vector<ProgramUnit>& out);

private:
    /// Where a definite-length block's header stands in the input.
    enum class BlockHeader { None, Hash, Digits };

    /// Feeds `data`, stopping after a message ends when `stopAtEnd`; returns the bytes used.
    std::size_t feed(std::string_view data, bool end, Sink& sink, bool stopAtEnd);
    /// One byte of a program message outside block data; true when it ended the message.
    bool receiveByte(char c, bool last, Sink& sink);
    /// Follows `c` through a block header (`#`, a digit N, N digits of length).
    void scanBlockHeader(char c);
    void endMessage(Sink& sink);

    std::size_t m_maxInput;
    std::string m_input;
    BlockHeader m_blockHeader = BlockHeader::None;
    char m_quote = 0;      ///< the quote of the string being received, 0 outside one
    int m_blockDigits = 0; ///< length digits still to come
    std::uint64_t m_blockLength = 0;
    std::uint64_t m_blockLeft = 0;    ///< data bytes of the current block still to come
    std::uint64_t m_messageBlock = 0; ///< block bytes in the message being received
};

/// `text` without blanks around it.
std::string_view trimmed(std::string_view text);

} // namespace gateway
