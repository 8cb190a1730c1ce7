#include "socket/SocketReader.h"

#include "net/TransportError.h"

#include <algorithm>
#include <cstring>

namespace rawsocket {

void SocketReader::discard() noexcept {
    m_head = 0;
    m_tail = 0;
    m_scanner.reset();
}

void SocketReader::read(ByteSource& source, std::span<std::uint8_t> into,
                        std::optional<std::uint8_t> term, net::Deadline deadline,
                        library::ReadProgress& progress) {
    try {
        readOn(source, into, term, deadline, progress);
    } catch (const net::TransportError& e) {
        // An indefinite block has no end but silence: once the peer went quiet, the next
        // read begins a new reply.
        if (e.onlyWaitEnded() && m_scanner.inIndefiniteBlock()) {
            m_scanner.reset();
        }
        throw;
    }
}

void SocketReader::readOn(ByteSource& source, std::span<std::uint8_t> into,
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
        // Here the kept bytes are all taken. Without a terminator, or inside a block's data,
        // nothing received can belong to a later reply: straight into the caller's buffer,
        // never past the block's end.
        const std::uint64_t dataLeft = m_scanner.blockDataLeft();
        if (!term || dataLeft > 0) {
            const std::span<std::uint8_t> direct =
                dataLeft > 0 ? space.first(static_cast<std::size_t>(
                                   std::min<std::uint64_t>(dataLeft, space.size())))
                             : space;
            const std::size_t n = source.receiveSome(direct, deadline);
            m_scanner.scan(direct.first(n), term); // cannot end the reply: all of it is taken
            progress.count += n;
            continue;
        }
        m_head = 0;
        m_tail = source.receiveSome(m_buffer, deadline);
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
