#pragma once

#include "hislip/client/Channel.h"
#include "hislip/codec/Message.h"
#include "net/Deadline.h"

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace hislip {

/// The two channels of one session, and what the server sends without being asked: service
/// requests, the interrupted notices, fatal errors. Every wait here watches both channels, so
/// a notice, a fatal error or a dropped connection on either one ends it.
///
/// Failures close both channels and throw library::LibraryError: connection lost, the
/// server's fatal error, a message that breaks the protocol. A deadline passing throws
/// LibraryError(kIoTimeout) and leaves the session as it was.
class Link {
public:
    Link() = default;
    Link(Channel sync, Channel async);

    Channel& sync() noexcept { return m_sync; }
    Channel& async() noexcept { return m_async; }
    bool isOpen() const noexcept { return m_sync.isOpen() && m_async.isOpen(); }
    void close() noexcept;

    /// Closes both channels and throws connection lost with `detail`, or the server's fatal
    /// error when the async channel holds one that explains the loss.
    [[noreturn]] void lost(const std::string& detail);
    /// Closes both channels and throws the server's fatal error (`payload` is its text).
    [[noreturn]] void fatal(const Header& header, std::span<const std::uint8_t> payload);
    /// Closes both channels and throws the protocol error `detail`.
    [[noreturn]] void broken(const std::string& detail);
    /// Broken framing or a refused message on `channel`: throws as broken() does, except that
    /// a vendor-specific message is skipped (false returned).
    bool refused(Channel& channel, MessageReader::Status status);

    /// Sends an async request and waits until `deadline` for its answer of type `answer`,
    /// taking in notices meanwhile. The server's Error instead of the answer throws
    /// kServerError. During a device clear (`clearing`) everything but the answer and a fatal
    /// error is dropped. An answer that comes too late is dropped when it comes.
    Header request(std::span<const std::uint8_t> message, MessageType answer,
                   net::Deadline deadline, bool clearing = false);
    /// The payload of the last answer request() returned.
    std::span<const std::uint8_t> answerPayload() const noexcept { return m_answerPayload; }

    /// Takes in what the async channel holds now (notices, late answers). A receive: the
    /// data path calls it only when a wait has reported the async channel.
    void drainAsync();
    /// Waits until the sync channel has bytes (or hung up) or the async channel has some; what
    /// the async channel holds is taken in first. Whether the sync channel was reported;
    /// throws kIoTimeout at `deadline`. Without `watchAsync` the async channel is left for
    /// later: for a read that no interrupted notice can concern (a loss still reports the
    /// fatal error the async channel holds).
    bool waitSync(net::Deadline deadline, bool watchAsync = true);
    /// A sync message other than Data: Interrupted is noted, the server's Error thrown
    /// (kServerError), a fatal error or anything else that does not belong there ends the session.
    void syncMessage(const Header& header, std::span<const std::uint8_t> payload);

    /// Counts both interrupted notices: a read compares it to know its response was dropped.
    std::uint32_t interruptions() const noexcept { return m_interruptions; }
    /// AsyncInterrupted came first: sync data is dropped until Interrupted comes.
    bool droppingData() const noexcept { return m_dropUntilInterrupted; }
    /// Before anything goes out on sync: after an Interrupted that came first, waits (until
    /// `deadline`) for its AsyncInterrupted, as nothing may be sent before it.
    void readyToSend(net::Deadline deadline);

    /// A service request received and not yet taken: its status byte.
    std::optional<std::uint8_t> takeServiceRequest();
    /// Waits until `until` for a service request; its status byte, or nothing. A request that
    /// came before the wait and that no poll took satisfies it at once: it still stands. (A
    /// status query's answer drops those that came before it: the poll took them.)
    std::optional<std::uint8_t> waitServiceRequest(net::Deadline until);

    /// After a device clear: no notice is pending and no late answer owed any more.
    void cleared() noexcept;

private:
    /// A loss is about to be reported: throws the server's fatal error instead when the async
    /// channel holds one.
    void explainLoss();
    /// Waits on the async channel (and for the sync channel hanging up); false at `deadline`.
    bool waitAsync(net::Deadline deadline);
    /// One message from the async channel.
    void asyncMessage(MessageReader::Status status);
    void noteInterrupted(bool asyncNotice);

    Channel m_sync;
    Channel m_async;

    std::optional<MessageType> m_awaiting;
    bool m_clearing = false;
    std::optional<Header> m_answer;
    Bytes m_answerPayload;
    /// Answers still to come for requests that timed out, per type.
    std::array<std::uint32_t, kLastDefinedType + 1> m_owed{};

    std::deque<std::uint8_t> m_serviceRequests;
    std::uint32_t m_interruptions = 0;
    bool m_dropUntilInterrupted = false;
    bool m_awaitAsyncInterrupted = false;
};

/// The server's text as it may appear in an error: printable ASCII, or "code N" when empty.
std::string serverText(const Header& header, std::span<const std::uint8_t> payload);

} // namespace hislip
