#include "vxi11/net/RecordStream.h"

namespace vxi11::net {

namespace {

/// Bytes asked of the socket per receive: a whole typical record, without a large stack.
constexpr std::size_t kReceiveBuffer = 64 * 1024;

} // namespace

RecordStream::RecordStream(std::size_t maxRecordSize, std::size_t maxFragments)
    : m_reader(maxRecordSize, maxFragments) {}

void RecordStream::reset() {
    m_reader.reset();
    m_begin = 0;
    m_end = 0;
    m_recordStarted.reset();
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

RecordStream::Result RecordStream::read(TcpConnection& connection, Deadline deadline) {
    for (;;) {
        Result result = feedBuffered();
        if (result.status != Status::Idle) {
            return result;
        }
        const std::span<std::uint8_t> buffer = freshBuffer();
        m_end = connection.receiveSome(buffer, deadline);
    }
}

RecordStream::Result RecordStream::readBlocking(TcpConnection& connection,
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

} // namespace vxi11::net
