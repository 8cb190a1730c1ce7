#include "gateway/hislip/HislipStream.h"

#include "net/WaitAny.h"

#include <algorithm>

namespace gateway {

using Clock = std::chrono::steady_clock;

HislipStream::HislipStream(net::TcpConnection& socket, const hislip::MessageReader::Limits& limits,
                           std::chrono::milliseconds idle)
    : m_socket(socket), m_reader(limits), m_idle(idle) {}

void HislipStream::setReceiveWait(std::chrono::milliseconds wait) {
    m_socket.setReceiveTimeout(wait);
}

HislipStream::Receive HislipStream::receive() {
    if (m_over) {
        return Receive::Closed;
    }
    // Only the wait for the rest of a message begun counts against it; waiting for the next
    // one to begin is idling.
    const bool begun = inMessage();
    if (!begun) {
        m_messageWait = {};
    }
    const auto start = Clock::now();
    const std::optional<std::size_t> got = m_socket.receiveBlocking(m_buffer.space());
    m_buffer.received(got.value_or(0));
    if (begun) {
        m_messageWait += Clock::now() - start;
    }
    if (!got) {
        return Receive::Timeout;
    }
    if (*got == 0) {
        m_over = true;
        return Receive::Closed;
    }
    m_pos = 0;
    m_end = *got;
    return Receive::Bytes;
}

HislipStream::Got HislipStream::next() {
    using Status = hislip::MessageReader::Status;
    for (;;) {
        if (m_pos < m_end) {
            const auto r = m_reader.feed(std::span(m_buffer.data() + m_pos, m_end - m_pos));
            m_pos += r.consumed;
            if (r.status == Status::NeedMore) {
                continue;
            }
            m_messageWait = {};
            switch (r.status) {
            case Status::Message:
                return Got::Message;
            case Status::Data:
                return Got::Data;
            case Status::Refused:
                return Got::Refused;
            default:
                return Got::Malformed;
            }
        }
        const bool begun = inMessage();
        const Receive got = receive();
        if (got == Receive::Closed) {
            return Got::Closed;
        }
        const bool tooSlow = m_idle.count() > 0 && m_messageWait > m_idle;
        if (got == Receive::Timeout || tooSlow) {
            if (begun || tooSlow) {
                return Got::TooSlow;
            }
            return Got::Idle;
        }
    }
}

std::span<const std::uint8_t> HislipStream::data() {
    if (dataLeft() == 0) {
        return {};
    }
    if (m_pos == m_end) {
        const Receive got = receive();
        if (got != Receive::Bytes || (m_idle.count() > 0 && m_messageWait > m_idle)) {
            m_over = true; // a payload that stops coming ends the connection
            return {};
        }
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(m_end - m_pos, dataLeft()));
    return std::span(m_buffer.data() + m_pos, n);
}

void HislipStream::taken(std::size_t n) {
    m_reader.dataTaken(n);
    m_pos += n;
}

bool HislipStream::inputWaiting() const {
    if (m_pos < m_end) {
        return true;
    }
    const net::Watched socket{m_socket.fd(), net::Watch::Readable};
    return net::waitAny(std::span(&socket, 1), net::Deadline::after({})) != 0;
}

} // namespace gateway
