#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace gateway::adapter {

/// Finds the end of one `++read eoi` in the adapter's stream, and whether EOI ended it.
///
/// The adapter passes bus bytes through unframed and cannot be asked why a read ended, so the
/// driver sends a sentinel command right behind the read (`++mode`, whose reply is "1" CRLF)
/// and sets the end-of-transmission marker (`++eot_enable 1`, `++eot_char M`). The adapter
/// reads no command while a read runs, so its stream is: data, then M when EOI ended the read,
/// then the sentinel's reply. Data may hold any byte, the marker and the reply included; what
/// tells them apart is timing, because the read ends in one of two ways:
/// - EOI: M goes out on the heels of the last data byte and the sentinel is answered at once:
///   M and the reply arrive together (less than half the per-byte time-out apart).
/// - the per-byte time-out: the adapter fell silent for a whole per-byte time-out before the
///   reply, with no M. Data itself never pauses that long inside one read (the pause would
///   have ended it), so a reply followed by silence for the per-byte time-out plus a margin
///   for the link's jitter is the read's end, whatever came before it (an M then is data).
/// Bytes are handed on as soon as four more have come behind them (the longest end, M and
/// the reply), so a long read streams. What remains open: data holding M, "1" CRLF at the
/// very moment a receive ends (one chance in 2^32 for random bytes, none for text) reads as
/// an EOI end; and a host that stalls for half a per-byte time-out can see a data byte equal
/// to M as EOI. The driver checks the next reply it expects, which catches a mistaken end.
class ReadFramer {
public:
    using Clock = std::chrono::steady_clock;

    /// The command queued behind every read, and its reply.
    static constexpr std::string_view kSentinelCommand = "++mode\n";
    static constexpr std::string_view kSentinelReply = "1\r\n";

    /// `perByte` is the adapter's `++read_tmo_ms`; `jitter` what the link may add to a gap.
    ReadFramer(std::uint8_t marker, Clock::duration perByte, Clock::duration jitter);

    /// Takes bytes that arrived at `now`; appends to `data` those now known to be data.
    /// Returns true when the read ended with EOI (then `data` holds its last bytes).
    bool feed(std::span<const std::uint8_t> bytes, Clock::time_point now,
              std::vector<std::uint8_t>& data);
    /// After a silence: true once it proves the read ended by time-out (appending its last
    /// data bytes to `data`).
    bool settle(Clock::time_point now, std::vector<std::uint8_t>& data);
    /// When settle() can decide if nothing more comes; nothing while the stream does not end
    /// in the sentinel's reply.
    std::optional<Clock::time_point> decisionAt() const;
    /// True once an end was found; eoi() says which.
    bool ended() const noexcept { return m_ended; }
    bool eoi() const noexcept { return m_eoi; }

private:
    static constexpr std::size_t kHold = 4;
    void push(std::uint8_t byte, Clock::time_point at, std::vector<std::uint8_t>& data);
    bool tailIsReply() const;

    std::uint8_t m_marker;
    Clock::duration m_perByte;
    Clock::duration m_jitter;
    std::array<std::uint8_t, kHold> m_tail{};
    std::array<Clock::time_point, kHold> m_times{};
    std::size_t m_held = 0;
    bool m_ended = false;
    bool m_eoi = false;
};

} // namespace gateway::adapter
