#pragma once

#include "library/Transport.h"
#include "net/Deadline.h"
#include "sicl/InstrumentLibrary.h"
#include "socket/BlockScanner.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace rawsocket {

/// Why a read ended: the library's reason bits.
inline constexpr std::int32_t kReasonReqCnt =
    sicl::reason::kReqCnt;                                     ///< the caller's buffer is full
inline constexpr std::int32_t kReasonChr = sicl::reason::kChr; ///< the termination character came
inline constexpr std::int32_t kReasonEnd = sicl::reason::kEnd; ///< a `#0` block ended with the
                                                               ///< connection

/// Where a SocketReader's bytes come from: a connection, or a test's script.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    /// Receives at least one byte into `out` (never empty) by `deadline`, or 0 when the peer
    /// closed the connection in order; throws net::TransportError (time-out, reset).
    virtual std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline deadline) = 0;
};

/// Reads replies from a byte stream into the caller's buffer, one reply at a time.
///
/// A read ends after the termination character (as BlockScanner finds it), when the caller's
/// buffer is full, or when the source throws (time-out, connection lost): what came by then is
/// in `progress` in every case. Inside an indefinite block (`#0`) the peer's orderly close ends
/// the block and the read with END; anywhere else it is a lost connection. Bytes past the end
/// of a read stay for the next one, as does the scanner's state, so a block longer than the
/// caller's buffer is read on by the next call. After a read that failed, the caller discards
/// (the stream's place in the reply is unknown).
///
/// Memory: the caller's buffer and a fixed buffer of kBufferSize bytes inside this object,
/// whatever the peer announces. Copies: bytes that might belong to a later reply arrive in the
/// fixed buffer and are copied once; the data of a definite block, and everything when no
/// termination character is in force, is received straight into the caller's buffer (never
/// past the block's end), so a large block is not copied at all.
class SocketReader {
public:
    /// Size of the reader's own buffer.
    static constexpr std::size_t kBufferSize = 16 * 1024;

    explicit SocketReader(bool blockAware = true) noexcept : m_scanner(blockAware) {}

    /// Reads into `into` until `term` (nullopt: none, so only the count or the source ends the
    /// read), `into` is full or `source` throws; rethrows what the source throws. `progress`
    /// holds the bytes taken and the reason bits (kReasonEnd when a `#0` block ended with the
    /// connection: peerClosed() is then true).
    void read(ByteSource& source, std::span<std::uint8_t> into, std::optional<std::uint8_t> term,
              net::Deadline deadline, library::ReadProgress& progress);

    /// Drops the bytes kept for the next read and forgets where in a reply the stream stood.
    void discard() noexcept;

    /// Bytes kept for the next read.
    std::size_t buffered() const noexcept { return m_tail - m_head; }
    /// The peer closed the connection at the end of an indefinite block.
    bool peerClosed() const noexcept { return m_peerClosed; }
    const BlockScanner& scanner() const noexcept { return m_scanner; }

private:
    /// Receives into `out`; false when the peer closed, which ends a `#0` block (and throws
    /// connection lost anywhere else).
    bool receive(ByteSource& source, std::span<std::uint8_t> out, net::Deadline deadline,
                 std::size_t& got);
    /// Moves kept bytes into the free part of `into` up to the end of the reply; true when the
    /// reply ended.
    bool takeBuffered(std::span<std::uint8_t> into, std::optional<std::uint8_t> term,
                      library::ReadProgress& progress) noexcept;

    std::array<std::uint8_t, kBufferSize> m_buffer{};
    std::size_t m_head = 0; ///< first kept byte
    std::size_t m_tail = 0; ///< one past the last kept byte
    BlockScanner m_scanner;
    bool m_peerClosed = false;
};

} // namespace rawsocket
