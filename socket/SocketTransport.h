#pragma once

#include "library/Transport.h"

#include <cstdint>
#include <memory>
#include <optional>

/// The raw SCPI socket transport (`TCPIP[n]::HOST::PORT::SOCKET`). Not named `socket`: that
/// name is the POSIX function, which a namespace may not share.
namespace rawsocket {

/// How reads on raw sockets end, for every session of a transport.
struct SocketOptions {
    /// The termination character of a read on a session where the caller never called
    /// itermchr: LF, the end of every SCPI reply. itermchr -1 turns it off for one session
    /// (reads then end only at their count or time-out, for a peer that streams binary data
    /// with no framing at all); nullopt here does so for every session.
    std::optional<std::uint8_t> defaultTermChar = '\n';
    /// Reads follow IEEE 488.2 blocks and quoted strings, so a terminator inside either does
    /// not end them (see BlockScanner). false: the first terminator ends a read wherever it
    /// stands, for replies whose plain text holds `#` and a digit or a lone `"`.
    bool blockAware = true;
};

/// A raw SCPI socket behind the library's transport seam: one TCP connection per session and
/// nothing on it but the bytes the caller writes and the instrument answers.
///
/// - open: the host is resolved and connected within the open's time-out (TCP_NODELAY set).
/// - write: the bytes as they are, straight from the caller's buffer; the caller ends a
///   command with LF. A stream has no END, so the `end` flag changes nothing. `sent` counts
///   what the kernel took, also when the time-out or a closed peer cut the write short.
/// - read: ends after the termination character (see SocketOptions; itermchr sets another),
///   when the caller's count is reached (REQCNT), or at the time-out. A definite block
///   (`#NLLL...`) or a quoted string that begins a response data element is read whole
///   whatever bytes it holds, and the terminator after it ends the read. An indefinite block
///   (`#0...`) ends when the peer closes the connection: that read succeeds with END (the
///   session is lost from then on, as below); or at the time-out. Bytes past the end stay for
///   the next read, and a read cut at its count goes on with the next one. A time-out is
///   error 15 (I/O timeout), with the bytes that came handed over; never a silent success.
/// - clear: a stream has no device clear, so the session reconnects: it closes the connection
///   (most instruments drop a connection's unparsed input and pending output with it),
///   forgets every byte kept for the next read and connects again within the time-out. It
///   does not clear the instrument's status as a real device clear would.
/// - status byte: sends `*STB?` and reads the decimal answer (the IEEE 488.2 query, not a
///   serial poll: it goes through the instrument's parser and output queue, so an unread
///   reply ahead of it is taken as the answer; read or clear first). An answer that is not a
///   number 0-255 is error 135.
/// - trigger: sends `*TRG` and LF.
/// - locks, remote/local, service requests and the bus operations: error 8 (operation not
///   supported).
/// - A peer that closed or reset the connection is error 104 (connection lost) for that call
///   and every later one, until a clear connects again.
/// - A time-out or an interrupt (error 119) of a write, a read, a status byte or a trigger
///   leaves the stream out of step: an answer may still be on its way, or a message is half
///   sent, and a stream cannot tell a late answer from the next one. The session closes the
///   connection at once (an instrument drops the connection's unparsed input and pending
///   output with it, and a large transfer stops) and connects again before its next
///   exchange, within that call's time-out. So no later read returns an earlier exchange's
///   bytes; the first read that succeeds after such a reconnect carries the reason bit
///   sicl::reason::kResync. A reconnect rather than draining: a late answer can come after
///   any quiet spell, and draining would wait for it without knowing how long.
/// - close: closes the connection; a raw socket has nothing to say goodbye with.
class SocketTransport final : public library::Transport {
public:
    explicit SocketTransport(library::TransportOptions options, SocketOptions socket = {});

    std::unique_ptr<library::TransportSession> open(const library::Resource& resource,
                                                    const library::CallTime& time) override;

private:
    library::TransportOptions m_options;
    SocketOptions m_socket;
};

} // namespace rawsocket
