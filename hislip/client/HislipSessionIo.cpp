// The data path of a HiSLIP session: write, read and trigger on the sync channel.

#include "hislip/client/HislipSession.h"
#include "sicl/InstrumentLibrary.h"

#include <algorithm>

namespace hislip {

using library::LibraryError;
namespace liberr = library::liberr;
using Status = MessageReader::Status;

namespace reason = sicl::reason; // why a read ended

void HislipSession::dropResponse() noexcept {
    if (m_link.sync().reader().dataLeft() > 0) {
        m_discardCurrent = true;
    }
}

std::size_t HislipSession::sendSync(MessageType type, std::span<const std::uint8_t> payload,
                                    net::Deadline deadline, std::size_t& sent) {
    if (!m_setup.overlapped) {
        dropResponse(); // a new message means the response not read is not wanted
    }
    const HeaderBytes head = encodeHeader(Header{
        type, m_rmtDelivered ? control::kRmtDelivered : std::uint8_t{0}, m_nextId, payload.size()});
    const std::span<const std::uint8_t> pieces[] = {head, payload};
    const std::size_t out = m_link.sync().send(pieces, deadline);
    if (out > 0) {
        m_interruptible = !m_setup.overlapped && !m_rmtDelivered;
        m_lastSentId = m_nextId;
        m_nextId += kMessageIdStep;
        m_rmtDelivered = false;
    }
    const std::size_t payloadOut = out > kHeaderSize ? out - kHeaderSize : 0;
    sent += payloadOut;
    if (out < kHeaderSize + payload.size()) {
        throw LibraryError(liberr::kIoTimeout);
    }
    return payloadOut;
}

void HislipSession::resyncIfOwed(net::Deadline deadline) {
    if (!m_answerOwed) {
        return;
    }
    // Overlapped IDs are the server's own count, so a late answer cannot be told from the next
    // one, nor whether the read that ended early had an answer coming at all: a clear can.
    clearBy(deadline);
    m_answerOwed = false;
    m_resynced = true;
}

void HislipSession::blameLock(net::Deadline answerBy) {
    if (m_exclusiveLock || m_sharedKey || !m_link.isOpen()) {
        return; // a lock of its own: no other session's lock holds it back
    }
    Header info;
    try {
        info = m_link.request(asyncLockInfo(), MessageType::AsyncLockInfoResponse, answerBy);
    } catch (const LibraryError&) {
        return; // no answer either: the time-out stands
    } catch (const net::TransportError&) {
        return;
    }
    if (info.control != 0 || info.parameter > 0) {
        throw LibraryError(liberr::kLockedByAnother);
    }
}

void HislipSession::write(std::span<const std::uint8_t> data, bool end,
                          const library::CallTime& time, std::size_t& sent) {
    sent = 0;
    guarded([&] {
        const net::Deadline deadline = time.ioDeadline();
        const net::Deadline answerBy = time.replyDeadline();
        resyncIfOwed(deadline);
        try {
            m_link.readyToSend(deadline);
            if (data.empty() && !end) {
                return; // an empty Data says nothing
            }
            // An empty write with END still sends its (empty) DataEND: the END is the message.
            do {
                const auto n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(m_writePiece, data.size() - sent));
                const bool last = sent + n == data.size();
                sendSync(last && end ? MessageType::DataEnd : MessageType::Data,
                         data.subspan(sent, n), deadline, sent);
            } while (sent < data.size());
        } catch (const LibraryError& e) {
            if (e.number() == liberr::kIoTimeout) {
                blameLock(answerBy);
            }
            throw;
        }
    });
}

void HislipSession::trigger(const library::CallTime& time) {
    guarded([&] {
        const net::Deadline deadline = time.replyDeadline();
        resyncIfOwed(deadline);
        m_link.readyToSend(deadline);
        std::size_t none = 0;
        sendSync(MessageType::Trigger, {}, deadline, none);
    });
}

bool HislipSession::acceptData(const Header& header, library::ReadProgress& progress) {
    m_current = header;
    m_discardCurrent = true;
    if (m_link.droppingData()) {
        return false; // the rest of an interrupted response
    }
    if (!m_setup.overlapped) {
        const bool current = header.parameter == m_lastSentId;
        const bool unknown =
            header.type == MessageType::Data && header.parameter == kUnknownMessageId;
        if (!current && !unknown) {
            // The answer to an earlier message: it goes, and so do the bytes of its response
            // that came before under an unknown ID.
            if (m_provisionalFrom) {
                progress.count = *m_provisionalFrom;
                m_provisionalFrom.reset();
            }
            return false;
        }
        if (current) {
            m_provisionalFrom.reset();
        } else if (!m_provisionalFrom) {
            m_provisionalFrom = progress.count;
        }
    }
    m_discardCurrent = false;
    return true;
}

void HislipSession::read(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
                         const library::CallTime& time, library::ReadProgress& progress) {
    progress = {};
    guarded([&] {
        const net::Deadline deadline = time.ioDeadline();
        const net::Deadline answerBy = time.replyDeadline();
        resyncIfOwed(deadline);
        try {
            readLoop(into, termChar, deadline, progress);
        } catch (const LibraryError& e) {
            const bool timedOut = e.number() == liberr::kIoTimeout;
            m_answerOwed = m_setup.overlapped && timedOut;
            if (timedOut) {
                blameLock(answerBy);
            }
            throw;
        } catch (const net::TransportError& e) {
            m_answerOwed = m_setup.overlapped && e.onlyWaitEnded();
            throw;
        }
        if (m_resynced) {
            progress.reason |= reason::kResync;
            m_resynced = false;
        }
    });
}

bool HislipSession::delivered(std::span<const std::uint8_t> into,
                              std::optional<std::uint8_t> termChar,
                              library::ReadProgress& progress) {
    const bool atTerm = termChar && progress.count > 0 && into[progress.count - 1] == *termChar;
    if (m_link.sync().reader().dataLeft() == 0) {
        m_lastDeliveredId = m_current.parameter;
        if (m_current.type == MessageType::DataEnd) {
            m_rmtDelivered = true;
            progress.reason = reason::kEnd | (atTerm ? reason::kChr : 0);
            return true;
        }
    }
    if (atTerm) {
        progress.reason = reason::kChr;
        return true;
    }
    if (progress.count == into.size()) {
        progress.reason = reason::kReqCnt;
        return true;
    }
    return false;
}

void HislipSession::readLoop(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
                             net::Deadline deadline, library::ReadProgress& progress) {
    if (into.empty()) {
        progress.reason = reason::kReqCnt;
        return;
    }
    Channel& sync = m_link.sync();
    if (!sync.flushTail(deadline)) {
        throw LibraryError(liberr::kIoTimeout); // the query must be whole before its answer
    }
    m_provisionalFrom.reset();
    std::uint32_t interruptions = m_link.interruptions();
    for (;;) {
        if (m_link.interruptions() != interruptions) {
            // The server dropped the response begun; so do we, and read on for the next.
            interruptions = m_link.interruptions();
            progress.count = 0;
            m_provisionalFrom.reset();
            m_discardCurrent = true;
        }
        if (sync.reader().dataLeft() > 0 && !m_discardCurrent) {
            const std::size_t n = sync.takeDataNow(into.subspan(progress.count), termChar);
            if (n == 0) {
                m_link.waitSync(deadline, m_interruptible);
                continue;
            }
            progress.count += n;
            if (delivered(into, termChar, progress)) {
                return;
            }
            continue;
        }
        const Status status = sync.next(); // skips the rest of a payload discarded
        if (status == Status::NeedMore) {
            // Wait first, on both channels while a notice may concern this response: what the
            // async channel holds (an interrupted notice, a fatal error) is taken in before
            // the sync bytes after it, and a channel with nothing costs no receive.
            if (m_link.waitSync(deadline, m_interruptible)) {
                sync.receiveNow();
            }
        } else if (status == Status::Data) {
            const Header header = sync.reader().header();
            if (acceptData(header, progress) && header.length == 0 &&
                delivered(into, termChar, progress)) {
                return;
            }
        } else if (status == Status::Message) {
            m_link.syncMessage(sync.reader().header(), sync.reader().payload());
        } else {
            m_link.refused(sync, status);
        }
    }
}

} // namespace hislip
