#pragma once

#include "net/Deadline.h"
#include "net/TcpConnection.h"
#include "vxi11/codec/RecordMarking.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace vxi11::rpc {

/// Reads record-marked messages from one TCP connection: the only code that feeds a
/// RecordReader from a socket. Bytes received after a complete record are kept for the next
/// one, and a record cut short by a time-out is kept too, so a late reply can still be read.
class RecordStream {
public:
    enum class Status {
        Record,    ///< a whole record (in Result::record)
        Malformed, ///< framing broke a limit; nothing more can be read from the connection
        Idle,      ///< nothing came in the connection's receive time-out; or none buffered
        TooSlow,   ///< a record took longer than the caller's limit to arrive
        Closed     ///< the peer closed the connection (or it failed)
    };
    struct Result {
        Status status = Status::Idle;
        xdr::Bytes record;
    };

    /// `maxRecordSize` caps the data of one record; `maxFragments` the fragments in it.
    explicit RecordStream(std::size_t maxRecordSize, std::size_t maxFragments = 4096);

    /// Reads until a record is complete (Record or Malformed). Throws net::TransportError when
    /// `deadline` passes (the partial record stays) or the connection is lost.
    Result read(net::TcpConnection& connection, net::Deadline deadline);
    /// Reads on a blocking connection, as a server does: Record, Malformed, Idle (the receive
    /// time-out passed), TooSlow (a record begun longer than `recordLimit` ago, 0 = no limit,
    /// is still incomplete) or Closed.
    Result readBlocking(net::TcpConnection& connection, std::chrono::milliseconds recordLimit);
    /// A record from bytes already received, if they hold a whole one (else Idle).
    Result buffered();

    /// True while part of a record has arrived.
    bool inProgress() const noexcept { return m_recordStarted.has_value(); }
    /// Drops buffered bytes and any partial record.
    void reset();

    // ---- A record read part by part, for a reply too large to hold twice: the caller takes
    // its bytes in the pieces it wants and puts each where it belongs (device_read's data
    // straight into the caller's buffer). Not while a record read whole is in progress.

    /// Starts reading the next record part by part; its data may hold at most `limit` bytes
    /// (beyond that, and beyond the fragment cap, the stream is Malformed).
    void beginPart(std::size_t limit);
    /// Fills `out` with the next bytes of the record begun with beginPart, waiting up to
    /// `deadline`; returns how many, fewer than `out.size()` only when the record ended first.
    /// Bytes not yet received go from the socket straight into `out`. Throws net::TransportError:
    /// time-out (what was read so far counts, the rest can still be read or skipped),
    /// connection lost, or Malformed for a record over its limits.
    std::size_t readPart(net::TcpConnection& connection, std::span<std::uint8_t> out,
                         net::Deadline deadline);
    /// Reads and drops what is left of the record begun with beginPart.
    void skipPart(net::TcpConnection& connection, net::Deadline deadline);
    /// True from beginPart until the end of that record has been read.
    bool partInProgress() const noexcept { return m_part.active; }
    /// True once a byte of the record begun with beginPart has arrived.
    bool partStarted() const noexcept { return m_part.fragments > 0 || m_part.headerFill > 0; }
    /// Forgets the record begun with beginPart, of which nothing has arrived.
    void cancelPart() noexcept { m_part = Part{}; }

private:
    using Clock = std::chrono::steady_clock;

    /// Feeds the bytes not yet used to the reader; Record or Malformed, or Idle when they are
    /// all used and the record is not complete.
    Result feedBuffered();
    /// The receive buffer, emptied for a fresh receive.
    std::span<std::uint8_t> freshBuffer();
    /// Makes sure the next fragment of the record read in parts has data left, reading
    /// fragment headers as needed; false when the record has ended.
    bool partFragmentReady(net::TcpConnection& connection, net::Deadline deadline);
    /// Up to `out.size()` bytes of the stream into `out`: buffered bytes first, else one
    /// receive (straight into `out` when it is large).
    std::size_t takeSome(net::TcpConnection& connection, std::span<std::uint8_t> out,
                         net::Deadline deadline);

    rpc::RecordReader m_reader;
    std::unique_ptr<std::uint8_t[]> m_buffer; ///< allocated on first use
    std::size_t m_begin = 0;                  ///< received bytes not yet fed: [m_begin, m_end)
    std::size_t m_end = 0;
    std::optional<Clock::time_point> m_recordStarted;

    /// Framing of the record read in parts.
    struct Part {
        bool active = false;
        std::size_t limit = 0;
        std::size_t total = 0; ///< data bytes so far
        std::size_t fragments = 0;
        std::size_t fragmentLeft = 0;
        bool lastFragment = false;
        std::uint8_t header[4] = {};
        std::size_t headerFill = 0;
    } m_part;
    std::size_t m_maxFragments;
};

} // namespace vxi11::rpc
