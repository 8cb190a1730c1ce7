#include "hislip/client/Link.h"

#include "library/LibraryError.h"
#include "net/TransportError.h"
#include "net/WaitAny.h"

#include <array>

namespace hislip {

using library::LibraryError;
namespace liberr = library::liberr;
using Status = MessageReader::Status;

namespace {

/// Service requests kept for a waiter; older ones go first when more come.
constexpr std::size_t kMaxServiceRequests = 64;

[[noreturn]] void timedOut() {
    throw LibraryError(liberr::kIoTimeout);
}

std::string problemText(MessageReader::Problem problem, const Header& header) {
    switch (problem) {
    case MessageReader::Problem::BadPrologue:
        return "no HS prologue";
    case MessageReader::Problem::ReservedType:
    case MessageReader::Problem::VendorType:
        return "unknown message type " + std::to_string(static_cast<int>(header.type));
    case MessageReader::Problem::TooLarge:
        return std::string(typeName(header.type)) + " of " + std::to_string(header.length) +
               " bytes";
    case MessageReader::Problem::None:
        break;
    }
    return "bad message";
}

} // namespace

std::string serverText(const Header& header, std::span<const std::uint8_t> payload) {
    std::string text;
    for (const std::uint8_t c : payload) {
        text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text.empty() ? "code " + std::to_string(header.control) : text;
}

Link::Link(Channel sync, Channel async) : m_sync(std::move(sync)), m_async(std::move(async)) {}

void Link::close() noexcept {
    m_sync.close();
    m_async.close();
}

void Link::lost(const std::string& detail) {
    explainLoss();
    close();
    throw LibraryError(liberr::kConnectionLost, detail);
}

void Link::explainLoss() {
    if (!m_async.isOpen()) {
        return;
    }
    // A server that gives up sends its reason on the async channel before it closes both, and
    // the async channel is looked at only when a wait reports it: look now, once, rather
    // than report the reason as a bare loss.
    try {
        drainAsync();
    } catch (const LibraryError& e) {
        if (e.number() == liberr::kServerFatalError) {
            throw;
        }
    } catch (const net::TransportError&) {
        // closed as well: a loss after all
    }
}

void Link::fatal(const Header& header, std::span<const std::uint8_t> payload) {
    close();
    throw LibraryError(liberr::kServerFatalError, serverText(header, payload));
}

void Link::broken(const std::string& detail) {
    close();
    throw LibraryError(liberr::kBadServerMessage, detail);
}

bool Link::refused(Channel& channel, Status status) {
    const MessageReader& r = channel.reader();
    if (status == Status::Refused && r.problem() == MessageReader::Problem::VendorType) {
        return false; // ours to ignore: its payload is skipped as it comes
    }
    broken(problemText(r.problem(), r.header()) + " on " + std::string(channel.name()));
}

void Link::noteInterrupted(bool asyncNotice) {
    // The two notices come in either order; the one that comes first drops the response
    // begun, and each side waits for the other as the protocol says.
    bool& waiting = asyncNotice ? m_dropUntilInterrupted : m_awaitAsyncInterrupted;
    bool& other = asyncNotice ? m_awaitAsyncInterrupted : m_dropUntilInterrupted;
    if (other) {
        other = false;
        return;
    }
    waiting = true;
    ++m_interruptions;
}

void Link::asyncMessage(Status status) {
    const MessageReader& r = m_async.reader();
    if (status == Status::Data) {
        broken(std::string(typeName(r.header().type)) + " on async");
    }
    if (status != Status::Message) {
        refused(m_async, status);
        return;
    }
    const Header& h = r.header();
    const auto typeIndex = static_cast<std::size_t>(h.type);
    if (h.type == MessageType::FatalError) {
        fatal(h, r.payload());
    }
    if (h.type == MessageType::AsyncStatusResponse) {
        // A status query is a serial poll: the requests it answers after are serviced, and the
        // server sends no new one before it.
        m_serviceRequests.clear();
    }
    if (m_awaiting && h.type == *m_awaiting) {
        if (m_owed[typeIndex] > 0) {
            --m_owed[typeIndex]; // the answer to an earlier request that timed out
            return;
        }
        m_answer = h;
        m_answerPayload.assign(r.payload().begin(), r.payload().end());
        return;
    }
    switch (h.type) {
    case MessageType::AsyncServiceRequest:
        if (m_serviceRequests.size() == kMaxServiceRequests) {
            m_serviceRequests.pop_front();
        }
        m_serviceRequests.push_back(h.control);
        return;
    case MessageType::AsyncInterrupted:
        if (!m_clearing) {
            noteInterrupted(true);
        }
        return;
    case MessageType::Error:
        if (m_awaiting && !m_clearing) {
            throw LibraryError(liberr::kServerError, serverText(h, r.payload()));
        }
        return; // refers to nothing we wait for
    default:
        break;
    }
    const std::optional<TypeRule> rule = ruleOf(h.type);
    if (!rule || !rule->fromServer || rule->lane == Lane::Sync) {
        broken(std::string(typeName(h.type)) + " on async");
    }
    if (m_owed[typeIndex] > 0) {
        --m_owed[typeIndex];
    }
    // Otherwise an answer nobody asked for: nothing to act on.
}

void Link::drainAsync() {
    for (;;) {
        const Status status = m_async.next();
        if (status != Status::NeedMore) {
            asyncMessage(status);
            continue;
        }
        if (!m_async.receiveNow()) {
            return;
        }
    }
}

bool Link::waitAsync(net::Deadline deadline) {
    const std::array<net::Watched, 2> watched{net::Watched{m_async.fd(), net::Watch::Readable},
                                              net::Watched{m_sync.fd(), net::Watch::Hangup}};
    const std::uint32_t ready = net::waitAny(watched, deadline);
    if (ready == 0) {
        return false;
    }
    if ((ready & 1u) != 0) {
        drainAsync(); // first: a fatal error there says why the sync channel went
    }
    if ((ready & 2u) != 0) {
        lost(m_sync.reader().inMessage() ? "sync channel closed mid-message"
                                         : "sync channel closed");
    }
    return true;
}

bool Link::waitSync(net::Deadline deadline, bool watchAsync) {
    const std::array<net::Watched, 2> watched{net::Watched{m_sync.fd(), net::Watch::Readable},
                                              net::Watched{m_async.fd(), net::Watch::Readable}};
    // Each descriptor watched costs the wait a registration and a removal in the kernel.
    const std::uint32_t ready =
        net::waitAny(std::span(watched).first(watchAsync ? 2 : 1), deadline);
    if (ready == 0) {
        timedOut();
    }
    if ((ready & 2u) != 0) {
        drainAsync(); // first: it came before the sync bytes that are there now
    }
    return (ready & 1u) != 0;
}

Header Link::request(std::span<const std::uint8_t> message, MessageType answer,
                     net::Deadline deadline, bool clearing) {
    drainAsync();
    m_async.sendAll(message, deadline);
    m_awaiting = answer;
    m_clearing = clearing;
    m_answer.reset();
    struct Done {
        Link& link;
        ~Done() {
            link.m_awaiting.reset();
            link.m_clearing = false;
        }
    } done{*this};
    // A wait given up (its time-out, the caller's Ctrl-C) leaves the session usable, and the
    // answer still to come must not be taken for the next request's.
    const auto owed = [&] { ++m_owed[static_cast<std::size_t>(answer)]; };
    while (!m_answer) {
        bool ready = false;
        try {
            ready = waitAsync(deadline);
        } catch (const net::TransportError& e) {
            if (e.kind() == net::TransportError::Kind::Interrupted) {
                owed();
            }
            throw;
        }
        if (!ready) {
            owed();
            timedOut();
        }
    }
    return *m_answer;
}

void Link::syncMessage(const Header& header, std::span<const std::uint8_t> payload) {
    switch (header.type) {
    case MessageType::Interrupted:
        noteInterrupted(false);
        return;
    case MessageType::Error:
        throw LibraryError(liberr::kServerError, serverText(header, payload));
    case MessageType::FatalError:
        fatal(header, payload);
    default:
        broken(std::string(typeName(header.type)) + " on sync");
    }
}

void Link::readyToSend(net::Deadline deadline) {
    // Only an Interrupted without its AsyncInterrupted holds a message back; anything else on
    // the async channel is taken in by the next wait, which watches it, and costs nothing here.
    while (m_awaitAsyncInterrupted) {
        if (!waitAsync(deadline)) {
            timedOut();
        }
    }
    if (!m_sync.flushTail(deadline)) {
        timedOut();
    }
}

std::optional<std::uint8_t> Link::takeServiceRequest() {
    if (m_serviceRequests.empty()) {
        return std::nullopt;
    }
    const std::uint8_t stb = m_serviceRequests.front();
    m_serviceRequests.pop_front();
    return stb;
}

std::optional<std::uint8_t> Link::waitServiceRequest(net::Deadline until) {
    drainAsync();
    while (m_serviceRequests.empty()) {
        if (!waitAsync(until)) {
            return std::nullopt;
        }
    }
    return takeServiceRequest();
}

void Link::cleared() noexcept {
    m_owed.fill(0);
    m_dropUntilInterrupted = false;
    m_awaitAsyncInterrupted = false;
}

} // namespace hislip
