#include "socket/SocketReader.h"

#include "net/TransportError.h"

#include <algorithm>
#include <cstring>

namespace rawsocket {

void SocketReader::discard() noexcept {
    m_head = 0;
    m_tail = 0;
    m_scanner.reset();
    m_peerClosed = false;
}

bool SocketReader::receive(ByteSource& source, std::span<std::uint8_t> out, net::Deadline deadline,
                           std::size_t& got) {
    got = source.receiveSome(out, deadline);
    if (got > 0) {
        return true;
    }
    if (!m_scanner.inIndefiniteBlock()) {
        throw net::TransportError(net::TransportError::Kind::ConnectionLost, "closed by the peer");
    }
    // An indefinite block has no end but the connection's: the peer closing it ends the block.
    m_peerClosed = true;
    m_scanner.reset();
    return false;
}

void SocketReader::read(ByteSource& source, std::span<std::uint8_t> into,
                        std::optional<std::uint8_t> term, net::Deadline deadline,
                        library::ReadProgress& progress) {
    for (;;) {
        if (takeBuffered(into, term, progress)) {
            return;
        }
        const std::span<std::uint8_t> space = into.subspan(progress.count);
        if (space.empty()) {
            progress.reason = kReasonReqCnt;
            return;
        }
        // Here the kept bytes are all taken. Without a terminator, inside a block's data or an
        // indefinite block, nothing received can belong to a later reply: straight into the
        // caller's buffer, never past a definite block's end.
        const std::uint64_t dataLeft = m_scanner.blockDataLeft();
        std::size_t n = 0;
        if (!term || dataLeft > 0 || m_scanner.inIndefiniteBlock()) {
            const std::span<std::uint8_t> direct =
                dataLeft > 0 ? space.first(static_cast<std::size_t>(
                                   std::min<std::uint64_t>(dataLeft, space.size())))
                             : space;
            if (!receive(source, direct, deadline, n)) {
                progress.reason = kReasonEnd;
                return;
            }
            m_scanner.scan(direct.first(n), term); // cannot end the reply: all of it is taken
            progress.count += n;
            continue;
        }
        m_head = 0;
        m_tail = 0;
        if (!receive(source, m_buffer, deadline, n)) {
            progress.reason = kReasonEnd;
            return;
        }
        m_tail = n;
    }
}

bool SocketReader::takeBuffered(std::span<std::uint8_t> into, std::optional<std::uint8_t> term,
                                library::ReadProgress& progress) noexcept {
    const std::size_t space = into.size() - progress.count;
    const std::size_t available = std::min(m_tail - m_head, space);
    if (available == 0) {
        return false;
    }
    const BlockScanner::Step step =
        m_scanner.scan(std::span<const std::uint8_t>(m_buffer).subspan(m_head, available), term);
    std::memcpy(into.data() + progress.count, m_buffer.data() + m_head, step.consumed);
    m_head += step.consumed;
    progress.count += step.consumed;
    if (m_head == m_tail) {
        m_head = m_tail = 0;
    }
    if (step.terminated) {
        progress.reason = kReasonChr | (progress.count == into.size() ? kReasonReqCnt : 0);
    }
    return step.terminated;
}

} // namespace rawsocket
