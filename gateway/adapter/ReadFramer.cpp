#include "gateway/adapter/ReadFramer.h"

#include <algorithm>

namespace gateway::adapter {

ReadFramer::ReadFramer(std::uint8_t marker, Clock::duration perByte, Clock::duration jitter)
    : m_marker(marker), m_perByte(perByte), m_jitter(jitter) {}

void ReadFramer::push(std::uint8_t byte, Clock::time_point at, std::vector<std::uint8_t>& data) {
    if (m_held == kHold) {
        data.push_back(m_tail[0]);
        std::move(m_tail.begin() + 1, m_tail.end(), m_tail.begin());
        std::move(m_times.begin() + 1, m_times.end(), m_times.begin());
        --m_held;
    }
    m_tail[m_held] = byte;
    m_times[m_held] = at;
    ++m_held;
}

bool ReadFramer::tailIsReply() const {
    const std::size_t n = kSentinelReply.size();
    if (m_held < n) {
        return false;
    }
    return std::equal(kSentinelReply.begin(), kSentinelReply.end(), m_tail.begin() + m_held - n,
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

bool ReadFramer::feed(std::span<const std::uint8_t> bytes, Clock::time_point now,
                      std::vector<std::uint8_t>& data) {
    if (m_ended || bytes.empty()) {
        return m_ended && m_eoi;
    }
    if (bytes.size() >= kHold) {
        // The held bytes and all but the chunk's last four are data: one copy, no shifting.
        data.insert(data.end(), m_tail.begin(), m_tail.begin() + m_held);
        data.insert(data.end(), bytes.begin(), bytes.end() - kHold);
        std::copy(bytes.end() - kHold, bytes.end(), m_tail.begin());
        m_times.fill(now);
        m_held = kHold;
    } else {
        for (std::uint8_t b : bytes) {
            push(b, now, data);
        }
    }
    if (m_held == kHold && m_tail[0] == m_marker && tailIsReply() &&
        m_times[1] - m_times[0] < m_perByte / 2) {
        m_ended = true;
        m_eoi = true;
        m_held = 0;
    }
    return m_ended;
}

std::optional<ReadFramer::Clock::time_point> ReadFramer::decisionAt() const {
    if (m_ended || !tailIsReply()) {
        return std::nullopt;
    }
    return m_times[m_held - 1] + m_perByte + m_jitter;
}

bool ReadFramer::settle(Clock::time_point now, std::vector<std::uint8_t>& data) {
    const auto at = decisionAt();
    if (!at || now < *at) {
        return false;
    }
    // Only a time-out is left: whatever came before the reply is data, an M included.
    data.insert(data.end(), m_tail.begin(), m_tail.begin() + (m_held - kSentinelReply.size()));
    m_held = 0;
    m_ended = true;
    m_eoi = false;
    return true;
}

} // namespace gateway::adapter
