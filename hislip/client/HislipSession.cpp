// A HiSLIP session's operations on the async channel (status, locks, remote/local, service
// requests) and the device clear that spans both channels.

#include "hislip/client/HislipSession.h"

namespace hislip {

using library::LibraryError;
namespace liberr = library::liberr;
using Status = MessageReader::Status;

namespace {

/// A lock wait of "no time-out": the longest the field holds (about 49 days), since 0 would
/// ask for the lock only if it is free at once.
constexpr std::uint32_t kLockForever = 0xFFFFFFFFu;

[[noreturn]] void timedOut() {
    throw LibraryError(liberr::kIoTimeout);
}

} // namespace

HislipSession::HislipSession(Link link, const SessionSetup& setup)
    : m_link(std::move(link)), m_setup(setup),
      // The server's maximum counts the header too; the open has made sure it is larger.
      m_writePiece(setup.serverMaxMessage - kHeaderSize) {}

HislipSession::~HislipSession() {
    m_link.close();
}

void HislipSession::close(net::Deadline) noexcept {
    // Closing either channel ends the session on the server, locks included.
    m_link.close();
}

void HislipSession::clear(const library::CallTime& time) {
    guarded([&] {
        clearBy(time.replyDeadline());
        m_answerOwed = false;
        m_resynced = false; // asked for: nothing to report
    });
}

void HislipSession::clearBy(net::Deadline deadline) {
    try {
        if (!m_link.sync().flushTail(deadline)) {
            timedOut(); // the message begun must end before the clear can begin
        }
        const Header ack = m_link.request(asyncDeviceClear(),
                                          MessageType::AsyncDeviceClearAcknowledge, deadline, true);
        std::uint8_t features = ack.control & control::kOverlapped;
        if (m_setup.wanted != Mode::ServerChoice) {
            features = m_setup.wanted == Mode::Overlapped ? control::kOverlapped : 0;
        }
        completeClear(features, deadline);
    } catch (const LibraryError& e) {
        if (e.number() == liberr::kIoTimeout) {
            abandonClear();
        }
        throw;
    } catch (const net::TransportError& e) {
        if (e.onlyWaitEnded()) {
            abandonClear();
            timedOut();
        }
        throw;
    }
}

void HislipSession::abandonClear() noexcept {
    if (!m_link.isOpen()) {
        return;
    }
    // Half a clear leaves the two ends out of step: end the session, as a fatal error would,
    // rather than read the rest of it as answers later.
    const Bytes notice = fatalError(fatalCode::kUnidentified, "device clear timed out");
    const std::span<const std::uint8_t> piece(notice);
    for (Channel* c : {&m_link.sync(), &m_link.async()}) {
        try {
            c->send({&piece, 1}, net::Deadline::after({}));
        } catch (const net::TransportError&) {
            // closing anyway
        }
    }
    m_link.close();
}

void HislipSession::completeClear(std::uint8_t features, net::Deadline deadline) {
    Channel& sync = m_link.sync();
    sync.sendAll(deviceClearComplete(features), deadline);
    for (;;) {
        const Status status = sync.next(); // Data before the acknowledgement is skipped
        if (status == Status::NeedMore) {
            if (!sync.receiveNow()) {
                m_link.waitSync(deadline);
            }
            continue;
        }
        if (status == Status::Data) {
            continue;
        }
        if (status != Status::Message) {
            m_link.refused(sync, status);
            continue;
        }
        const Header& h = sync.reader().header();
        if (h.type == MessageType::FatalError) {
            m_link.fatal(h, sync.reader().payload());
        }
        if (h.type == MessageType::DeviceClearAcknowledge) {
            m_setup.overlapped = (h.control & control::kOverlapped) != 0;
            break;
        }
        // Interrupted, Error: what was under way is gone with the clear.
    }
    m_nextId = kFirstMessageId;
    m_lastSentId = kNoMessageId;
    m_lastDeliveredId = kNoMessageId;
    m_rmtDelivered = false; // a flag left set would read as an interrupted response
    m_discardCurrent = false;
    m_provisionalFrom.reset();
    m_link.cleared();
}

std::uint8_t HislipSession::readStb(const library::CallTime& time) {
    const std::uint8_t stb = guarded([&] {
        // Synchronized: the last message sent, so the server can tell whether its answer
        // went out. Overlapped: the server's last message that reached the caller whole.
        const std::uint32_t id = m_setup.overlapped ? m_lastDeliveredId : m_lastSentId;
        const bool rmt = m_rmtDelivered;
        m_rmtDelivered = false;
        const Header h = m_link.request(asyncStatusQuery(rmt, id), MessageType::AsyncStatusResponse,
                                        time.replyDeadline());
        return h.control;
    });
    return stb;
}

void HislipSession::remote(const library::CallTime& time) {
    guarded([&] {
        m_link.request(asyncRemoteLocalControl(control::kEnableRemoteGoRemote, m_lastSentId),
                       MessageType::AsyncRemoteLocalResponse, time.replyDeadline());
    });
}

void HislipSession::local(const library::CallTime& time) {
    guarded([&] {
        m_link.request(asyncRemoteLocalControl(control::kGoLocal, m_lastSentId),
                       MessageType::AsyncRemoteLocalResponse, time.replyDeadline());
    });
}

void HislipSession::lock(const library::CallTime& time) {
    // A lock held is granted again without a message, while the session lasts.
    if (!m_exclusiveLock || !m_link.isOpen()) {
        lockRequest({}, time);
    }
}

void HislipSession::lockShared(std::string_view key, const library::CallTime& time) {
    // An empty string would ask for the exclusive lock.
    if (key.empty() || key.size() > kMaxLockString) {
        throw LibraryError(liberr::kInvalidArgument, "lock key of 1-256 bytes");
    }
    if (m_sharedKey != key || !m_link.isOpen()) {
        lockRequest(key, time);
    }
}

void HislipSession::lockRequest(std::string_view key, const library::CallTime& time) {
    const std::uint32_t waitMs =
        time.timeoutMs > 0 ? static_cast<std::uint32_t>(time.timeoutMs) : kLockForever;
    guarded([&] {
        // The server answers by the lock's time-out; the margin is for the answer's way back.
        const Header h = m_link.request(asyncLockRequest(waitMs, key),
                                        MessageType::AsyncLockResponse, time.replyDeadline());
        switch (h.control) {
        case control::kLockGranted:
            if (key.empty()) {
                m_exclusiveLock = true;
            } else {
                m_sharedKey = std::string(key);
            }
            return;
        case control::kLockFailed:
            throw LibraryError(liberr::kLockedByAnother);
        case control::kLockError:
            throw LibraryError(liberr::kLockAlreadyHeld);
        default:
            m_link.broken("AsyncLockResponse code " + std::to_string(h.control));
        }
    });
}

void HislipSession::unlock(const library::CallTime& time) {
    guarded([&] {
        const Header h = m_link.request(asyncLockRelease(m_lastSentId),
                                        MessageType::AsyncLockResponse, time.replyDeadline());
        switch (h.control) {
        case control::kReleasedExclusive:
            m_exclusiveLock = false;
            return;
        case control::kReleasedShared:
            m_sharedKey.reset();
            return;
        case control::kLockError:
            m_exclusiveLock = false;
            m_sharedKey.reset();
            throw LibraryError(liberr::kNoLockHeld);
        default:
            m_link.broken("AsyncLockResponse code " + std::to_string(h.control));
        }
    });
}

bool HislipSession::waitSrq(net::Deadline until, const library::CallTime&) {
    return guarded([&] {
        const std::optional<std::uint8_t> stb = m_link.waitServiceRequest(until);
        if (stb) {
            m_lastSrq = stb;
        }
        return stb.has_value();
    });
}

} // namespace hislip
