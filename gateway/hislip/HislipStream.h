#pragma once
// HiSLIP messages from one of the simulator's connections: the codec's reader fed by blocking
// receives, with the idle rules of every connection (a receive time-out; a message begun must
// arrive within the idle time-out, however slowly its bytes come). Data payloads are handed
// out as they arrive, straight from the receive buffer, so a message of any size costs no
// memory of its own; a stream of them is received in large pieces (ReceiveBuffer).

#include "gateway/serving/ReceiveBuffer.h"
#include "hislip/codec/MessageReader.h"
#include "net/TcpConnection.h"

#include <chrono>
#include <cstdint>
#include <span>

namespace gateway {

class HislipStream {
public:
    enum class Got {
        Message,   ///< a whole message: header() and payload()
        Data,      ///< a Data/DataEND header: its payload follows through data()
        Refused,   ///< a framed message to refuse (problem()); its payload is skipped
        Malformed, ///< framing is lost (problem())
        Closed,    ///< the peer closed or reset the connection, or it was shut down
        Idle,      ///< nothing came for the receive time-out, and no message is begun
        TooSlow    ///< a message begun took longer than the idle time-out to arrive
    };

    /// Reads from `socket` with `limits`; `idle` bounds a message begun (0: no bound).
    HislipStream(net::TcpConnection& socket, const hislip::MessageReader::Limits& limits,
                 std::chrono::milliseconds idle);

    /// How long a receive waits before next() says Idle (0: for ever).
    void setReceiveWait(std::chrono::milliseconds wait);
    /// The next event. A Data payload not taken through data() is skipped first.
    Got next();
    const hislip::Header& header() const noexcept { return m_reader.header(); }
    std::span<const std::uint8_t> payload() const noexcept { return m_reader.payload(); }
    hislip::MessageReader::Problem problem() const noexcept { return m_reader.problem(); }

    /// Payload bytes of the current Data message not yet taken.
    std::uint64_t dataLeft() const noexcept { return m_reader.dataLeft(); }
    /// The next payload bytes of the current Data message that have arrived, receiving first
    /// when none has; empty when none is left or the connection is over (then next() says so).
    std::span<const std::uint8_t> data();
    /// Counts `n` bytes of data() taken.
    void taken(std::size_t n);
    /// True when bytes wait to be read: received and not used, or on the socket (a peer that
    /// closed counts).
    bool inputWaiting() const;

private:
    enum class Receive { Bytes, Closed, Timeout };
    /// One blocking receive into the buffer (which holds no unused bytes then).
    Receive receive();
    bool inMessage() const noexcept { return m_reader.inMessage(); }

    net::TcpConnection& m_socket;
    hislip::MessageReader m_reader;
    std::chrono::milliseconds m_idle;
    ReceiveBuffer m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    /// Time spent waiting for the bytes of the message begun.
    std::chrono::steady_clock::duration m_messageWait{};
    bool m_over = false;
};

} // namespace gateway
