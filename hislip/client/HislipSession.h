#pragma once

#include "hislip/client/Link.h"
#include "library/Transport.h"

#include <cstdint>
#include <optional>
#include <string>

namespace hislip {

/// The mode a client asks for: the server's own choice, or one it asks for by a device clear
/// with the feature negotiation.
enum class Mode { ServerChoice, Overlapped, Synchronized };

/// What the opening handshake settled.
struct SessionSetup {
    bool overlapped = false;         ///< the mode in force
    std::uint16_t serverVersion = 0; ///< as the server announced it
    std::uint16_t sessionId = 0;
    std::uint16_t serverVendor = 0;
    std::uint64_t serverMaxMessage = 0; ///< the largest message the server accepts
    Mode wanted = Mode::ServerChoice;
};

/// One HiSLIP session: its two channels, the MessageID counter and the RMT flag, the response
/// being read, and the locks it holds.
///
/// Data moves without copies: a write goes out from the caller's buffer in messages of the
/// server's maximum size, each header and payload in one gathered send; a read receives each
/// payload straight into the caller's buffer (through a small buffer only when a termination
/// character must be found, so the bytes after it stay for the next read).
class HislipSession final : public library::TransportSession {
public:
    HislipSession(Link link, const SessionSetup& setup);
    ~HislipSession() override;

    void write(std::span<const std::uint8_t> data, bool end, const library::CallTime& time,
               std::size_t& sent) override;
    void read(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
              const library::CallTime& time, library::ReadProgress& progress) override;
    /// Device clear: all four messages, the mode asked for (or the server's preference).
    void clear(const library::CallTime& time) override;
    /// The status byte, by AsyncStatusQuery; it services the requests received before it.
    std::uint8_t readStb(const library::CallTime& time) override;
    void trigger(const library::CallTime& time) override;
    /// "Enable remote, go to remote" (request 3).
    void remote(const library::CallTime& time) override;
    /// "Go to local" (request 6), remote enable and lockout left as they are.
    void local(const library::CallTime& time) override;
    void lock(const library::CallTime& time) override;
    void lockShared(std::string_view key, const library::CallTime& time) override;
    void unlock(const library::CallTime& time) override;
    /// Waits for a service request that comes after the wait began; one that came earlier is
    /// the status byte's to tell, and one that came since a status query made just before
    /// the wait counts too (so poll-then-wait misses none).
    bool waitSrq(net::Deadline until, const library::CallTime& time) override;
    void close(net::Deadline deadline) noexcept override;

    /// Device clear bounded by `deadline` (also used at open to ask for a mode).
    void clearBy(net::Deadline deadline);

    bool overlapped() const noexcept { return m_setup.overlapped; }
    const SessionSetup& setup() const noexcept { return m_setup; }
    /// Payload bytes per Data message written: the server's maximum less the header.
    std::uint64_t writePiece() const noexcept { return m_writePiece; }
    /// The status byte of the last service request waitSrq() delivered.
    std::optional<std::uint8_t> lastServiceRequest() const noexcept { return m_lastSrq; }

private:
    /// Runs `body` on an open session: a dropped connection closes both channels and is
    /// connection lost, a deadline passing is kIoTimeout.
    template <typename F>
    decltype(auto) guarded(F&& body);

    /// Sends one Data, DataEND or Trigger with the next MessageID from the caller's `payload`
    /// (header and payload in one gathered send), adding the payload bytes that went out to
    /// `sent`. Throws kIoTimeout when not all went out by `deadline`.
    std::size_t sendSync(MessageType type, std::span<const std::uint8_t> payload,
                         net::Deadline deadline, std::size_t& sent);
    /// Before a new message goes out in synchronized mode: the response not yet read is
    /// dropped.
    void dropResponse() noexcept;

    /// The read loop; see read().
    void readLoop(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
                  net::Deadline deadline, library::ReadProgress& progress);
    /// A Data/DataEND header: whether its payload belongs to the answer awaited.
    bool acceptData(const Header& header, library::ReadProgress& progress);
    /// After payload bytes reached the caller: whether the read ends here (reason set).
    bool delivered(std::span<const std::uint8_t> into, std::optional<std::uint8_t> termChar,
                   library::ReadProgress& progress);
    /// Overlapped: a read that ended early (time-out, interrupt) left an answer owed, which
    /// the server would hand to the next read; a device clear before the next exchange drops
    /// it (and whatever else the server had queued for this session).
    void resyncIfOwed(net::Deadline deadline);
    /// After a read or write timed out: the server says nothing of a lock that holds the
    /// session's messages back, so it is asked (AsyncLockInfo, by `answerBy`); a lock held by
    /// another session while this one holds none throws kLockedByAnother.
    void blameLock(net::Deadline answerBy);
    /// Finishes the clear once the server acknowledged its first half.
    void completeClear(std::uint8_t features, net::Deadline deadline);
    /// A clear that timed out: tells the server (FatalError) and closes both channels.
    void abandonClear() noexcept;
    void lockRequest(std::string_view key, const library::CallTime& time);

    Link m_link;
    SessionSetup m_setup;
    std::uint64_t m_writePiece = 0;

    std::uint32_t m_nextId = kFirstMessageId;
    std::uint32_t m_lastSentId = kNoMessageId;
    /// A response's END reached the caller and no message has said so yet.
    bool m_rmtDelivered = false;
    /// Synchronized: the last message went out without saying that a response arrived, so
    /// the server may interrupt a response that was still coming, and a read must watch for
    /// the notice. After a whole response and a message that said so, nothing is left to
    /// interrupt.
    bool m_interruptible = true;
    /// Overlapped: the server's MessageID of the last message wholly delivered.
    std::uint32_t m_lastDeliveredId = kNoMessageId;
    /// Overlapped: a read ended early, so an answer may be owed (see resyncIfOwed()).
    bool m_answerOwed = false;
    /// The session cleared for that reason; the next read says so (sicl::reason::kResync).
    bool m_resynced = false;

    /// The Data/DataEND whose payload is being read (what is left of it is the reader's).
    Header m_current;
    bool m_discardCurrent = false;
    /// Synchronized: where in this read the Data with an unknown MessageID began, whose bytes
    /// go if the response they belong to turns out to be stale.
    std::optional<std::size_t> m_provisionalFrom;

    bool m_exclusiveLock = false;
    std::optional<std::string> m_sharedKey;
    std::optional<std::uint8_t> m_lastSrq;
};

} // namespace hislip

// ---- Implementation of the guard every operation runs in.

#include "library/LibraryError.h"
#include "net/TransportError.h"

namespace hislip {

template <typename F>
decltype(auto) HislipSession::guarded(F&& body) {
    if (!m_link.isOpen()) {
        throw library::LibraryError(library::liberr::kConnectionLost, "session closed");
    }
    try {
        return body();
    } catch (const net::TransportError& e) {
        if (e.kind() == net::TransportError::Kind::Timeout) {
            throw library::LibraryError(library::liberr::kIoTimeout);
        }
        if (e.kind() == net::TransportError::Kind::Interrupted) {
            throw; // the caller's Ctrl-C: the session is as a time-out leaves it
        }
        m_link.lost(e.detail());
    }
}

} // namespace hislip
