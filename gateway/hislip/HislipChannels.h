#pragma once
// One connection accepted on the HiSLIP port, and the work of each kind of channel. The
// connection's first message says what it is: Initialize opens a session with this connection
// as its synchronous channel, AsyncInitialize binds it to a session as the asynchronous one.
//
// The synchronous channel carries the data: each Data and DataEND goes to the instrument as
// it arrives, one program message at a time, and each answer goes back as Data... DataEND at
// the client's maximum size, before the next message is looked at (overlapped mode answers in
// order however many queries come). In synchronized mode a message that arrives while an
// answer is still awaited interrupts it. The asynchronous channel answers the requests about
// the session (locks, status, maximum size, device clear, remote/local); a lock request that
// must wait, or a release that waits for its message, waits there while other requests (a
// device clear above all) are still answered.

#include "gateway/hislip/HislipService.h"
#include "gateway/hislip/HislipStream.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace gateway {

class HislipConnection final : public StreamConnection {
public:
    HislipConnection(net::TcpConnection socket, HislipService& service)
        : StreamConnection(std::move(socket)), m_service(service) {}

    void serve() override;
    /// Ends the session as well, so that both channels' waits end.
    void shutdown() override;

private:
    void serveSync(HislipStream& stream);
    void serveAsync(HislipStream& stream);
    /// FatalError `code` to a connection that is no session's channel (it is closed next).
    void refuse(std::uint8_t code, std::string_view text);
    void setSession(std::shared_ptr<HislipSession> session);

    HislipService& m_service;
    std::mutex m_mutex; ///< guards m_session against shutdown()
    std::shared_ptr<HislipSession> m_session;
};

/// What a channel's loop does with a message it cannot take: the reply it gets, and whether
/// the session goes on.
class ChannelBase {
public:
    ChannelBase(HislipSession& session, HislipStream& stream, HislipService& service)
        : m_session(session), m_stream(stream), m_service(service) {}

protected:
    /// A refused message (problem()): Error 1, 3 or 4 on `sync` or the async channel.
    bool refused(bool sync);
    /// Framing lost: FatalError 1 on both channels.
    void malformed();
    /// A message that does not belong on this channel, or one the server does not take:
    /// Error `code`.
    bool error(bool sync, std::uint8_t code, std::string_view text);
    /// The client's FatalError or Error.
    bool fromClient();
    /// Idle, too slow or closed: whether the loop goes on.
    bool quiet(HislipStream::Got got);
    /// What both channels do alike with an event other than a message or Data: a refusal,
    /// broken framing, idling or the close. Whether the loop goes on.
    bool settle(HislipStream::Got got, bool sync);
    /// What both channels do alike with a message that is not theirs: a second Initialize,
    /// the client's own FatalError or Error, any other type (Error, "not a message of the
    /// `channel` channel"). Whether the loop goes on.
    bool foreign(bool sync);
    /// The client's request changes the instrument to remote if remote is enabled.
    void markRemote();
    void log(const std::string& line) const;

    HislipSession& m_session;
    HislipStream& m_stream;
    HislipService& m_service;
};

class SyncChannel final : private ChannelBase {
public:
    using ChannelBase::ChannelBase;
    /// Serves the channel until the session ends.
    void run();

private:
    bool onData();
    bool onMessage();
    bool onTrigger();
    /// A Data, DataEND or Trigger begins: the RMT rules, the MessageID, an interrupted answer.
    void begin(std::uint32_t id, bool rmtDelivered);
    /// Feeds the payload of the current Data or DataEND, sending each answer it makes.
    bool feedPayload(std::uint32_t id, bool end);
    /// Feeds `data` (`end`: END with its last byte) and sends each answer it makes.
    bool feedPiece(std::uint32_t id, std::span<const std::uint8_t> data, bool end);
    /// Waits for the queued answer of message `id` and sends it; in synchronized mode a new
    /// message ends the wait, the answer left pending. False when the session ends.
    bool deliver(std::uint32_t id);
    bool sendAnswer(std::uint32_t id);
    /// A message came while the answer of the last one was awaited (synchronized mode).
    void interrupt(std::uint32_t id);
    /// The end of a device clear (DeviceClearComplete).
    bool completeClear(std::uint8_t features);
    void finishMessage();
    /// Whether a message's handling stops: the session ends, a clear begins.
    bool stopped() const;
    /// Whether a wait (for a lock, for an answer) ends: as stopped(), or the client left.
    bool waitEnds() const;
    /// Data, a trigger or the end of a clear before the asynchronous channel came: a fatal
    /// error (false).
    bool requireEstablished();

    /// Synchronized: the answer of this message is awaited while the next one came.
    std::optional<std::uint32_t> m_pending;
    WaveformScratch m_scratch;
    AnswerBytes m_piece; ///< the piece of an answer being sent, kept for its capacity
};

class AsyncChannel final : private ChannelBase {
public:
    using ChannelBase::ChannelBase;
    /// Serves the channel until the session ends.
    void run();

private:
    bool onMessage();
    bool onLock();
    bool onStatusQuery();
    bool onRemoteLocal();
    bool onDeviceClear();
    bool onMaximumSize();
    /// Goes on with a lock request or release that waits; false when the session ends.
    bool resume();
    /// Releases a lock now and answers.
    bool release();
    /// Carries out the remote/local requests that wait for another's lock to go, if it went.
    void applyDeferred();
    /// Whether a wait ends: the session ends, or a message comes.
    bool stopped() const;

    /// A lock request waiting for the lock.
    struct PendingLock {
        LockTable::Want want;
        Clock::time_point deadline;
    };
    std::optional<PendingLock> m_lock;
    /// A release waiting for its message to be carried out.
    std::optional<std::uint32_t> m_release;
    /// Remote/local requests made while another held the lock, in order.
    std::deque<std::uint8_t> m_deferred;
};

} // namespace gateway
