#include "hislip/client/Channel.h"

#include "net/PartialIo.h"
#include "net/TransportError.h"
#include "net/WaitAny.h"

#include <algorithm>
#include <cstring>

namespace hislip {

namespace {

/// Bytes asked of the socket per receive into the channel's buffer: headers and small
/// messages, and what follows them.
constexpr std::size_t kReceiveBuffer = 64 * 1024;

[[noreturn]] void timedOut() {
    throw net::TransportError(net::TransportError::Kind::Timeout);
}

} // namespace

Channel::Channel(net::TcpConnection connection, net::SocketOps& ops, MessageReader::Limits limits,
                 std::string_view name)
    : m_connection(std::move(connection)), m_ops(&ops), m_reader(limits), m_name(name) {}

MessageReader::Status Channel::next() {
    const MessageReader::Result r =
        m_reader.feed(std::span<const std::uint8_t>(m_buffer.get() + m_begin, m_end - m_begin));
    m_begin += r.consumed;
    return r.status;
}

std::span<std::uint8_t> Channel::freshBuffer() {
    if (!m_buffer) {
        // Not zeroed: a receive writes what it reports.
        m_buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReceiveBuffer);
    }
    m_begin = 0;
    m_end = 0;
    return {m_buffer.get(), kReceiveBuffer};
}

bool Channel::receiveNow() {
    if (m_begin < m_end) {
        return true; // still something to frame
    }
    const std::span<std::uint8_t> buffer = freshBuffer();
    const std::optional<std::size_t> n = net::receiveNow(m_connection, *m_ops, buffer);
    m_end = n.value_or(0);
    return m_end > 0;
}

MessageReader::Status Channel::nextBy(net::Deadline deadline) {
    for (;;) {
        const MessageReader::Status status = next();
        if (status != MessageReader::Status::NeedMore) {
            return status;
        }
        while (!receiveNow()) {
            const net::Watched w{fd(), net::Watch::Readable};
            if (net::waitAny({&w, 1}, deadline) == 0) {
                timedOut();
            }
        }
    }
}

std::size_t Channel::takeDataNow(std::span<std::uint8_t> out, std::optional<std::uint8_t> stop) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), m_reader.dataLeft()));
    if (want == 0) {
        return 0;
    }
    if (m_begin == m_end && !stop) {
        // The bulk of a response: from the socket straight into the caller's memory.
        const std::optional<std::size_t> n = net::receiveNow(m_connection, *m_ops, out.first(want));
        if (n) {
            m_reader.dataTaken(*n);
        }
        return n.value_or(0);
    }
    if (m_begin == m_end && !receiveNow()) {
        return 0;
    }
    std::size_t n = std::min(want, m_end - m_begin);
    const std::uint8_t* from = m_buffer.get() + m_begin;
    if (stop) {
        if (const void* hit = std::memchr(from, *stop, n)) {
            n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - from) + 1;
        }
    }
    std::memcpy(out.data(), from, n);
    m_begin += n;
    m_reader.dataTaken(n);
    return n;
}

std::size_t Channel::push(std::span<const std::span<const std::uint8_t>> pieces,
                          net::Deadline deadline) {
    std::span<const std::uint8_t> rest[net::TcpConnection::kMaxPieces];
    const std::size_t count = std::min(pieces.size(), std::size(rest));
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        rest[i] = pieces[i];
        total += pieces[i].size();
    }
    std::size_t sent = 0;
    std::size_t first = 0;
    while (sent < total) {
        std::size_t n = net::sendNow(m_connection, *m_ops, std::span(rest + first, count - first));
        if (n == 0) {
            const net::Watched w{fd(), net::Watch::Writable};
            if (net::waitAny({&w, 1}, deadline) == 0) {
                break;
            }
            continue;
        }
        sent += n;
        while (first < count && n >= rest[first].size()) {
            n -= rest[first].size();
            ++first;
        }
        if (first < count) {
            rest[first] = rest[first].subspan(n);
        }
    }
    return sent;
}

bool Channel::flushTail(net::Deadline deadline) {
    if (m_tail.empty()) {
        return true;
    }
    const std::span<const std::uint8_t> tail(m_tail);
    const std::size_t n = push({&tail, 1}, deadline);
    m_tail.erase(m_tail.begin(), m_tail.begin() + static_cast<std::ptrdiff_t>(n));
    return m_tail.empty();
}

std::size_t Channel::send(std::span<const std::span<const std::uint8_t>> pieces,
                          net::Deadline deadline) {
    if (!flushTail(deadline)) {
        return 0;
    }
    const std::size_t sent = push(pieces, deadline);
    if (sent > 0) {
        // Keep what did not go out of a message begun: the peer reads it as one.
        std::size_t skip = sent;
        for (const auto& piece : pieces) {
            const std::size_t from = std::min(skip, piece.size());
            m_tail.insert(m_tail.end(), piece.begin() + static_cast<std::ptrdiff_t>(from),
                          piece.end());
            skip -= from;
        }
    }
    return sent;
}

void Channel::sendAll(std::span<const std::uint8_t> message, net::Deadline deadline) {
    if (send({&message, 1}, deadline) < message.size()) {
        timedOut();
    }
}

} // namespace hislip
