#include "socket/BlockScanner.h"

#include <algorithm>
#include <cstring>

namespace rawsocket {

namespace {

bool isDigit(std::uint8_t byte) noexcept {
    return byte >= '0' && byte <= '9';
}

} // namespace

void BlockScanner::setBlockAware(bool aware) noexcept {
    m_aware = aware;
    reset();
}

void BlockScanner::reset() noexcept {
    m_state = State::Text;
    m_digitsLeft = 0;
    m_left = 0;
    messageStart();
}

void BlockScanner::messageStart() noexcept {
    m_elementStart = true;
    m_inHeader = true;
}

BlockScanner::Step BlockScanner::scan(std::span<const std::uint8_t> bytes,
                                      std::optional<std::uint8_t> term) noexcept {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::span<const std::uint8_t> rest = bytes.subspan(at);
        if (m_state == State::Data) {
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_left, rest.size()));
            at += take;
            m_left -= take;
            if (m_left == 0) {
                m_state = State::Text;
            }
        } else if (m_state == State::Indefinite || (!term && !m_aware)) {
            return {bytes.size(), false}; // nothing in the rest can end the reply
        } else if (!m_aware) {
            const auto* found =
                static_cast<const std::uint8_t*>(std::memchr(rest.data(), *term, rest.size()));
            return found == nullptr
                       ? Step{bytes.size(), false}
                       : Step{static_cast<std::size_t>(found - bytes.data()) + 1, true};
        } else if (step(bytes[at++], term)) {
            return {at, true};
        }
    }
    return {at, false};
}

bool BlockScanner::step(std::uint8_t byte, std::optional<std::uint8_t> term) noexcept {
    switch (m_state) {
    case State::Quoted:
        if (byte == '"') {
            m_state = State::QuoteEnd;
        }
        return false;
    case State::QuoteEnd:
        if (byte == '"') {
            m_state = State::Quoted; // a doubled quote stays inside the string
            return false;
        }
        m_state = State::Text;
        return text(byte, term);
    case State::Hash:
        if (byte == '0') {
            m_state = State::Indefinite;
            return false;
        }
        if (isDigit(byte)) {
            m_state = State::Digits;
            m_digitsLeft = byte - '0';
            m_left = 0;
            return false;
        }
        // `#H`, `#Q`, `#B` and the like: a number or plain text, not a block.
        m_state = State::Text;
        return text(byte, term);
    case State::Digits:
        if (!isDigit(byte)) {
            m_state = State::Text; // not a block header after all
            return text(byte, term);
        }
        m_left = m_left * 10 + static_cast<std::uint64_t>(byte - '0');
        if (--m_digitsLeft == 0) {
            m_state = m_left > 0 ? State::Data : State::Text;
        }
        return false;
    case State::Text:
        return text(byte, term);
    case State::Data:
    case State::Indefinite:
        break; // handled in scan()
    }
    return false;
}

bool BlockScanner::text(std::uint8_t byte, std::optional<std::uint8_t> term) noexcept {
    if (term && byte == *term) {
        messageStart(); // what follows is the next reply
        return true;
    }
    switch (byte) {
    case ',':
        m_elementStart = true;
        m_inHeader = false;
        return false;
    case ';':
        messageStart();
        return false;
    case ' ':
    case '\t':
        if (!m_elementStart && m_inHeader) {
            m_elementStart = true; // the blank after a response header
            m_inHeader = false;
        }
        return false;
    case '"':
    case '#':
        if (m_aware && m_elementStart) {
            m_state = byte == '"' ? State::Quoted : State::Hash;
        }
        break;
    default:
        break;
    }
    m_elementStart = false;
    return false;
}

} // namespace rawsocket
