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

/// Where a SocketReader's bytes come from: a connection, or a test's script.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    /// Receives at least one byte into `out` (never empty) by `deadline`; throws
    /// net::TransportError (time-out, connection lost).
    virtual std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline deadline) = 0;
};

/// Reads replies from a byte stream into the caller's buffer, one reply at a time.
///
/// A read ends after the termination character (as BlockScanner finds it), when the caller's
/// buffer is full, or when the source throws (time-out, connection lost): what came by then is
/// in `progress` in every case. Bytes past the end of a read stay for the next one, as does the
/// scanner's state, so a block longer than the caller's buffer is read on by the next call.
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
    /// holds the bytes taken and the reason bits. A time-out inside an indefinite block (`#0`)
    /// ends that block: the next read starts a new reply.
    void read(ByteSource& source, std::span<std::uint8_t> into, std::optional<std::uint8_t> term,
              net::Deadline deadline, library::ReadProgress& progress);

    /// Drops the bytes kept for the next read and forgets where in a reply the stream stood.
    void discard() noexcept;

    /// Bytes kept for the next read.
    std::size_t buffered() const noexcept { return m_tail - m_head; }
    const BlockScanner& scanner() const noexcept { return m_scanner; }

private:
    void readOn(ByteSource& source, std::span<std::uint8_t> into, std::optional<std::uint8_t> term,
                net::Deadline deadline, library::ReadProgress& progress);
    /// Moves kept bytes into the free part of `into` up to the end of the reply; true when the
    /// reply ended.
    bool takeBuffered(std::span<std::uint8_t> into, std::optional<std::uint8_t> term,
                      library::ReadProgress& progress) noexcept;

    std::array<std::uint8_t, kBufferSize> m_buffer{};
    std::size_t m_head = 0; ///< first kept byte
    std::size_t m_tail = 0; ///< one past the last kept byte
    BlockScanner m_scanner;
};

} // namespace rawsocket
