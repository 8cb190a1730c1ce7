#include "vxi11/rpc/RecordStream.h"

#include "net/TransportError.h"

#include <algorithm>

namespace vxi11::rpc {

namespace {

/// Bytes asked of the socket per receive: a whole typical record, without a large stack.
constexpr std::size_t kReceiveBuffer = 64 * 1024;
/// A part read at least this large is received straight into the caller's memory; a smaller
/// one goes through the receive buffer, so that a reply's few header words cost one receive.
constexpr std::size_t kDirectReceive = 4096;

} // namespace

RecordStream::RecordStream(std::size_t maxRecordSize, std::size_t maxFragments)
    : m_reader(maxRecordSize, maxFragments), m_maxFragments(maxFragments) {}

void RecordStream::reset() {
    m_reader.reset();
    m_begin = 0;
    m_end = 0;
    m_recordStarted.reset();
    m_part = Part{};
}

void RecordStream::beginPart(std::size_t limit) {
    m_part = Part{};
    m_part.active = true;
    m_part.limit = limit;
}

std::size_t RecordStream::takeSome(net::TcpConnection& connection, std::span<std::uint8_t> out,
                                   net::Deadline deadline) {
    if (m_begin == m_end) {
        if (out.size() >= kDirectReceive) {
            return connection.receiveSome(out, deadline);
        }
        const std::span<std::uint8_t> buffer = freshBuffer();
        m_end = connection.receiveSome(buffer, deadline);
    }
    const std::size_t n = std::min(out.size(), m_end - m_begin);
    std::copy_n(m_buffer.get() + m_begin, n, out.data());
    m_begin += n;
    return n;
}

bool RecordStream::partFragmentReady(net::TcpConnection& connection, net::Deadline deadline) {
    while (m_part.fragmentLeft == 0) {
        if (m_part.lastFragment) {
            m_part.active = false;
            return false;
        }
        while (m_part.headerFill < 4) {
            m_part.headerFill +=
                takeSome(connection, std::span(m_part.header).subspan(m_part.headerFill), deadline);
        }
        const rpc::RecordMark mark = rpc::decodeRecordMark(m_part.header);
        m_part.headerFill = 0;
        m_part.lastFragment = mark.last;
        m_part.fragmentLeft = mark.length;
        if (m_part.fragmentLeft > m_part.limit - m_part.total ||
            ++m_part.fragments > m_maxFragments) {
            throw net::TransportError(net::TransportError::Kind::Malformed, "reply too large");
        }
    }
    return true;
}

std::size_t RecordStream::readPart(net::TcpConnection& connection, std::span<std::uint8_t> out,
                                   net::Deadline deadline) {
    std::size_t filled = 0;
    while (filled < out.size() && m_part.active && partFragmentReady(connection, deadline)) {
        const std::size_t n = takeSome(
            connection, out.subspan(filled, std::min(out.size() - filled, m_part.fragmentLeft)),
            deadline);
        filled += n;
        m_part.fragmentLeft -= n;
        m_part.total += n;
    }
    return filled;
}

void RecordStream::skipPart(net::TcpConnection& connection, net::Deadline deadline) {
    while (m_part.active && partFragmentReady(connection, deadline)) {
        if (m_begin == m_end) {
            const std::span<std::uint8_t> buffer = freshBuffer();
            m_end = connection.receiveSome(buffer, deadline);
        }
        const std::size_t n = std::min(m_part.fragmentLeft, m_end - m_begin);
        m_begin += n;
        m_part.fragmentLeft -= n;
        m_part.total += n;
    }
}

std::span<std::uint8_t> RecordStream::freshBuffer() {
    if (!m_buffer) {
        // Not zeroed: a receive writes what it reports.
        m_buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReceiveBuffer);
    }
    m_begin = 0;
    m_end = 0;
    return {m_buffer.get(), kReceiveBuffer};
}

RecordStream::Result RecordStream::feedBuffered() {
    while (m_begin < m_end) {
        const auto fed = m_reader.feed(xdr::ByteView(m_buffer.get() + m_begin, m_end - m_begin));
        m_begin += fed.consumed;
        switch (fed.status) {
        case rpc::RecordReader::Status::Complete:
            m_recordStarted.reset();
            return {Status::Record, m_reader.takeRecord()};
        case rpc::RecordReader::Status::Malformed:
            m_begin = m_end;
            return {Status::Malformed, {}};
        case rpc::RecordReader::Status::NeedMore:
            if (!m_recordStarted) {
                m_recordStarted = Clock::now();
            }
            break;
        }
    }
    return {Status::Idle, {}};
}

RecordStream::Result RecordStream::buffered() {
    return feedBuffered();
}

RecordStream::Result RecordStream::read(net::TcpConnection& connection, net::Deadline deadline) {
    for (;;) {
        Result result = feedBuffered();
        if (result.status != Status::Idle) {
            return result;
        }
        const std::span<std::uint8_t> buffer = freshBuffer();
        m_end = connection.receiveSome(buffer, deadline);
    }
}

RecordStream::Result RecordStream::readBlocking(net::TcpConnection& connection,
                                                std::chrono::milliseconds recordLimit) {
    for (;;) {
        Result result = feedBuffered();
        if (result.status != Status::Idle) {
            return result;
        }
        if (recordLimit.count() > 0 && m_recordStarted &&
            Clock::now() - *m_recordStarted > recordLimit) {
            return {Status::TooSlow, {}};
        }
        const std::span<std::uint8_t> buffer = freshBuffer();
        const std::optional<std::size_t> n = connection.receiveBlocking(buffer);
        if (!n) {
            return {Status::Idle, {}};
        }
        if (*n == 0) {
            return {Status::Closed, {}};
        }
        m_end = *n;
    }
}

} // namespace vxi11::rpc
