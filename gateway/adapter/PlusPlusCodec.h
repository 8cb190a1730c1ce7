#pragma once
// The `++` adapter language as pure functions over bytes: what the host sends (escaped data
// lines, commands) and what it makes of the adapter's replies. No I/O. Every reply is
// untrusted: a parser answers "not that" for anything it does not know, and a line never
// grows past a fixed size.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gateway::adapter {

/// Which command set the adapter speaks; Auto only as a wish, before identification.
enum class Flavour { Auto, Prologix, Ar488 };

/// "auto", "prologix", "ar488".
const char* flavourName(Flavour flavour);
/// The flavour a name gives (the option's value), or nothing.
std::optional<Flavour> parseFlavour(std::string_view name);

/// A GPIB address: primary 0-30 and an optional secondary 0-30.
struct GpibAddress {
    std::uint8_t primary = 0;
    std::optional<std::uint8_t> secondary;
    bool operator==(const GpibAddress&) const = default;
};

/// True when both parts are in 0-30.
bool isValid(const GpibAddress& address);

// ---- host to adapter ----------------------------------------------------------------------

/// The escape byte that makes the next data byte literal.
constexpr std::uint8_t kEsc = 27;
/// The longest data line an AR488 sends as one piece (its line buffer).
constexpr std::size_t kAr488Piece = 128;

/// Appends `data` to `out` with CR, LF, ESC and '+' each preceded by ESC.
void appendEscaped(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);

/// One message as the lines that carry it, END on its last byte only.
struct EncodedWrite {
    std::vector<std::uint8_t> text;    ///< everything to send, commands and data lines
    std::vector<std::size_t> lineEnds; ///< offsets in `text` just past each data line
    std::vector<std::size_t> dataEnds; ///< message bytes carried up to each of those lines
    bool eoiAfter = true;              ///< the adapter's `++eoi` once `text` is sent
};

/// Encodes `data` as data lines of at most `maxLine` bytes each (before escaping). A line
/// asserts EOI on its last byte when `++eoi 1` is set, so every line but a message's last is
/// sent under `++eoi 0` and the last under `++eoi 1` when `end`; `eoiNow` is the adapter's
/// setting (nothing when unknown), changed only where it must.
EncodedWrite encodeWrite(std::span<const std::uint8_t> data, bool end, std::size_t maxLine,
                         std::optional<bool> eoiNow);

/// "++addr P" or "++addr P S" with S as the secondary's byte value (96-126), LF-ended.
std::string addressCommand(const GpibAddress& address);
/// "++spoll P" (with " S" as above when the address has a secondary), LF-ended.
std::string serialPollCommand(const GpibAddress& address);

// ---- adapter to host ----------------------------------------------------------------------

/// The longest reply line kept; a longer one is cut and marked.
constexpr std::size_t kMaxReplyLine = 8192;

/// Cuts the adapter's replies into lines ending in LF (a CR before it dropped).
class LineSplitter {
public:
    /// Takes bytes as they arrive; returns how many were used (all, unless a line completed:
    /// then up to and including its LF, so the rest can be read as something else).
    std::size_t feed(std::span<const std::uint8_t> bytes);
    /// The completed line, once feed() finished one; taking it starts the next.
    std::optional<std::string> take();
    /// True when the line being taken was longer than kMaxReplyLine (it was cut).
    bool overlong() const noexcept { return m_overlong; }
    /// Drops a partial line.
    void reset();

private:
    std::string m_line;
    bool m_complete = false;
    bool m_overlong = false;
    bool m_cut = false;
};

/// The flavour a `++ver` line names: Prologix or Ar488, Auto when it names neither.
Flavour flavourOfVersion(std::string_view line);

/// A decimal number of 1-3 digits not above `max`, nothing else on the line; or nothing.
std::optional<int> parseSmallNumber(std::string_view line, int max);

/// The error lines an adapter prints.
enum class ErrorLine { None, Unrecognized, MissingParameter, InvalidParameter, TransmitFailed };
/// Which error line `line` is (None for anything else).
ErrorLine errorLineOf(std::string_view line);

/// The listeners in a listener search's line: `5,22,9:96` (secondary as its byte value
/// 96-126), empty for none; nothing when the line is not such a list.
std::optional<std::vector<GpibAddress>> parseListeners(std::string_view line);

} // namespace gateway::adapter
