#include "gateway/instrument/ProgramParser.h"

#include <algorithm>
#include <cctype>

namespace gateway {

namespace {

/// A block length beyond any real one; longer lengths are held at it.
constexpr std::uint64_t kMaxBlockLength = std::uint64_t{1} << 40;

} // namespace

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

void ProgramParser::receive(std::string_view data, bool end, Sink& sink) {
    feed(data, end, sink, false);
}

std::size_t ProgramParser::receiveOne(std::string_view data, bool end, Sink& sink) {
    return feed(data, end, sink, true);
}

std::size_t ProgramParser::feed(std::string_view data, bool end, Sink& sink, bool stopAtEnd) {
    if (data.empty()) {
        if (end && (!m_input.empty() || m_messageBlock > 0)) {
            endMessage(sink); // END without a byte still ends what came before it
        }
        return 0;
    }
    std::size_t i = 0;
    while (i < data.size()) {
        bool ended = false;
        if (m_blockLeft > 0) {
            // Block data is taken whole, whatever bytes it holds, and only counted.
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_blockLeft, data.size() - i));
            m_blockLeft -= n;
            m_messageBlock += n;
            i += n;
            if (end && i == data.size()) {
                endMessage(sink);
                ended = true;
            }
        } else {
            const char c = data[i++];
            ended = receiveByte(c, end && i == data.size(), sink);
        }
        if (ended && stopAtEnd) {
            break;
        }
    }
    return i;
}

bool ProgramParser::receiveByte(char c, bool last, Sink& sink) {
    if (m_input.empty() && m_messageBlock == 0) {
        sink.messageBegins();
    }
    // NL with END is the message terminator even inside a string left open: the string is then
    // malformed, but the message is over and its NL is not part of it.
    const bool terminator = c == '\n' && (m_quote == 0 || last);
    if (!terminator) {
        m_input += c;
        if (m_quote != 0) {
            m_quote = c == m_quote ? 0 : m_quote; // a doubled quote closes and opens again
        } else if ((c == '"' || c == '\'') && m_blockHeader == BlockHeader::None) {
            m_quote = c;
        } else {
            scanBlockHeader(c);
        }
    }
    // Looked at before the end, so that a message one byte too long overruns however it ends.
    if (m_input.size() > m_maxInput) {
        m_input.clear();
        m_blockHeader = BlockHeader::None;
        m_quote = 0;
        sink.overrun();
        if (last) {
            m_messageBlock = 0; // END: the message is over, nothing of it kept
            return true;
        }
        return false;
    }
    if (terminator || last) {
        endMessage(sink);
        return true;
    }
    return false;
}

void ProgramParser::scanBlockHeader(char c) {
    const bool digit = c >= '0' && c <= '9';
    switch (m_blockHeader) {
    case BlockHeader::None:
        if (c == '#') {
            m_blockHeader = BlockHeader::Hash;
        }
        return;
    case BlockHeader::Hash:
        // "#0" is an indefinite block and "#H1F" a number: neither has a length to follow.
        m_blockHeader = digit && c != '0' ? BlockHeader::Digits : BlockHeader::None;
        m_blockDigits = c - '0';
        m_blockLength = 0;
        return;
    case BlockHeader::Digits:
        if (!digit) {
            m_blockHeader = BlockHeader::None;
            return;
        }
        // More than the largest block anyone sends is as good as endless.
        m_blockLength = std::min<std::uint64_t>(m_blockLength * 10 + static_cast<unsigned>(c - '0'),
                                                kMaxBlockLength);
        if (--m_blockDigits == 0) {
            m_blockHeader = BlockHeader::None;
            m_blockLeft = m_blockLength;
        }
        return;
    }
}

void ProgramParser::endMessage(Sink& sink) {
    std::string message;
    message.swap(m_input);
    if (!message.empty() && message.back() == '\r') {
        message.pop_back();
    }
    m_blockHeader = BlockHeader::None;
    m_blockLeft = 0;
    m_quote = 0;
    sink.messageEnds(message, m_messageBlock);
    m_messageBlock = 0;
}

void ProgramParser::clear() {
    m_input.clear();
    m_quote = 0;
    m_blockHeader = BlockHeader::None;
    m_blockLeft = 0;
    m_messageBlock = 0;
}

namespace {

/// Where the next semicolon outside a quoted string is, from `start`; the end if none.
std::size_t unitEnd(const std::string& message, std::size_t start) {
    char quote = 0;
    for (std::size_t i = start; i < message.size(); ++i) {
        const char c = message[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            return i;
        }
    }
    return message.size();
}

} // namespace

void ProgramParser::units(const std::string& message, std::vector<ProgramUnit>& out) {
    out.clear();
    std::size_t start = 0;
    while (start <= message.size()) {
        const std::size_t semi = unitEnd(message, start);
        const std::string_view unit =
            trimmed(std::string_view(message).substr(start, semi - start));
        start = semi + 1;
        if (unit.empty()) {
            continue;
        }
        ProgramUnit u;
        std::string_view header = unit;
        const std::size_t space = unit.find_first_of(" \t");
        if (space != std::string_view::npos) {
            header = unit.substr(0, space);
            u.args = unit.substr(space + 1);
        }
        if (!header.empty() && header.front() == ':') {
            header.remove_prefix(1);
        }
        u.header.reserve(header.size());
        for (const char c : header) {
            // ASCII alone: headers are ASCII, and the C library's toupper is a call per byte.
            u.header += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        }
        // A '?' in a quoted argument does not make a query.
        u.query = header.find('?') != std::string_view::npos;
        out.push_back(std::move(u));
    }
}

} // namespace gateway
