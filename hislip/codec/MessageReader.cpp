#include "hislip/codec/MessageReader.h"

#include <algorithm>
#include <cstring>

namespace hislip {

MessageReader::Status MessageReader::classify() {
    const std::optional<Header> header =
        decodeHeader(std::span<const std::uint8_t, kHeaderSize>(m_head));
    m_headFill = 0;
    if (!header) {
        m_state = State::Broken;
        m_problem = Problem::BadPrologue;
        return Status::Malformed;
    }
    m_header = *header;
    m_left = m_header.length;
    m_payload.clear();
    m_problem = Problem::None;

    const MessageType type = m_header.type;
    const bool dataLike = isData(type) || isVendorSpecific(type);
    const std::uint64_t limit = dataLike ? m_limits.maxData : m_limits.maxControl;
    if (isReserved(type)) {
        m_problem = Problem::ReservedType;
    } else if (isVendorSpecific(type)) {
        m_problem = Problem::VendorType;
    } else if (m_left > limit) {
        m_problem = Problem::TooLarge;
    }
    if (m_problem != Problem::None) {
        // A refused message is skipped only within what the caller is willing to skip.
        if (m_left > m_limits.maxSkip) {
            m_state = State::Broken;
            return Status::Malformed;
        }
        m_state = m_left > 0 ? State::Skip : State::Header;
        return Status::Refused;
    }
    if (isData(type) && m_limits.streamData) {
        m_state = m_left > 0 ? State::Data : State::Header;
        return Status::Data;
    }
    m_state = m_left > 0 ? State::Payload : State::Header;
    return m_left > 0 ? Status::NeedMore : Status::Message;
}

MessageReader::Result MessageReader::feed(std::span<const std::uint8_t> input) {
    std::size_t pos = 0;
    while (pos < input.size() || m_state == State::Broken) {
        const std::span<const std::uint8_t> rest = input.subspan(pos);
        switch (m_state) {
        case State::Broken:
            return {Status::Malformed, pos};
        case State::Header: {
            const std::size_t n = std::min(kHeaderSize - m_headFill, rest.size());
            std::memcpy(m_head + m_headFill, rest.data(), n);
            m_headFill += n;
            pos += n;
            if (m_headFill == kHeaderSize) {
                const Status status = classify();
                if (status != Status::NeedMore) {
                    return {status, pos};
                }
            }
            break;
        }
        case State::Payload: {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, rest.size()));
            m_payload.insert(m_payload.end(), rest.begin(),
                             rest.begin() + static_cast<std::ptrdiff_t>(n));
            m_left -= n;
            pos += n;
            if (m_left == 0) {
                m_state = State::Header;
                return {Status::Message, pos};
            }
            break;
        }
        case State::Data:
        case State::Skip: {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, rest.size()));
            m_left -= n;
            pos += n;
            if (m_left == 0) {
                m_state = State::Header;
            }
            break;
        }
        }
    }
    return {Status::NeedMore, pos};
}

std::size_t MessageReader::takeData(std::span<const std::uint8_t> input,
                                    std::span<std::uint8_t> out) {
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(dataLeft(), std::min(input.size(), out.size())));
    if (n > 0) {
        std::memcpy(out.data(), input.data(), n);
    }
    dataTaken(n);
    return n;
}

void MessageReader::dataTaken(std::uint64_t n) noexcept {
    if (m_state != State::Data) {
        return;
    }
    m_left -= std::min(n, m_left);
    if (m_left == 0) {
        m_state = State::Header;
    }
}

bool MessageReader::inMessage() const noexcept {
    return m_headFill > 0 || (m_state != State::Header && m_state != State::Broken);
}

void MessageReader::reset() noexcept {
    m_state = State::Header;
    m_headFill = 0;
    m_header = Header{};
    m_problem = Problem::None;
    m_left = 0;
    m_payload.clear();
}

} // namespace hislip
