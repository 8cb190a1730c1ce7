#include "gateway/emulator/LineFramer.h"

#include <algorithm>

namespace gateway::emulator {

namespace {

constexpr std::uint8_t kCr = 13;
constexpr std::uint8_t kLf = 10;
constexpr std::uint8_t kEsc = 27;
constexpr std::uint8_t kPlus = '+';

/// A Prologix-flavour data line goes on in pieces of this size, so a long block never waits
/// whole in memory.
constexpr std::size_t kPrologixPiece = 64 * 1024;

bool plain(std::uint8_t byte) {
    return byte != kCr && byte != kLf && byte != kEsc;
}

} // namespace

LineFramer::LineFramer(Flavour flavour, LineSink& sink)
    : m_sink(sink), m_limit(flavour == Flavour::Ar488 ? kAr488Buffer : kPrologixPiece),
      m_joinPieces(flavour == Flavour::Prologix) {
    m_line.reserve(m_limit);
}

void LineFramer::feed(std::span<const std::uint8_t> bytes) {
    m_discard = false;
    const std::uint8_t* at = bytes.data();
    const std::uint8_t* const end = at + bytes.size();
    while (at < end && !m_discard) {
        const std::uint8_t byte = *at;
        if (m_escape) {
            m_escape = false;
            store(byte, true);
            ++at;
        } else if (byte == kEsc) {
            m_escape = true;
            ++at;
        } else if (byte == kCr || byte == kLf) {
            endLine();
            ++at;
        } else if (m_kind == Kind::Data) {
            at += storeRun(at, end);
        } else {
            store(byte, false);
            ++at;
        }
    }
    if (m_discard) {
        reset();
    }
}

void LineFramer::reset() {
    m_line.clear();
    m_kind = Kind::Undecided;
    m_escape = false;
}

void LineFramer::discardRest() {
    m_discard = true;
}

void LineFramer::store(std::uint8_t byte, bool literal) {
    if (m_kind == Kind::Undecided) {
        // Still undecided with one byte stored: that byte was an unescaped '+'.
        const bool plus = !literal && byte == kPlus;
        if (plus && m_line.size() == 1) {
            m_kind = Kind::Command;
            m_line.clear();
            return;
        }
        if (!plus || !m_line.empty()) {
            m_kind = Kind::Data;
        }
    }
    m_line.push_back(byte);
    // A command's "++" took two bytes of the buffer.
    if (m_line.size() >= (m_kind == Kind::Command ? m_limit - 2 : m_limit)) {
        full();
    }
}

std::size_t LineFramer::storeRun(const std::uint8_t* from, const std::uint8_t* to) {
    const std::size_t room = m_limit - m_line.size();
    const std::uint8_t* stop =
        std::find_if_not(from, from + std::min<std::size_t>(room, to - from), plain);
    m_line.insert(m_line.end(), from, stop);
    if (m_line.size() >= m_limit) {
        full();
    }
    return static_cast<std::size_t>(stop - from);
}

void LineFramer::full() {
    if (m_kind != Kind::Data || !m_joinPieces) {
        endLine();
        return;
    }
    // The last byte stays behind, so the piece that ends the line is never empty and END can
    // go with the line's last byte.
    m_sink.data(std::span(m_line.data(), m_line.size() - 1), false);
    m_line.front() = m_line.back();
    m_line.resize(1);
}

void LineFramer::endLine() {
    if (m_kind == Kind::Command) {
        m_sink.command(
            std::string_view(reinterpret_cast<const char*>(m_line.data()), m_line.size()));
    } else if (!m_line.empty()) {
        m_sink.data(m_line, true);
    }
    m_line.clear();
    m_kind = Kind::Undecided;
}

} // namespace gateway::emulator
