#include "gateway/Instrument.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace gateway {

namespace {

constexpr std::size_t kMaxErrors = 10;

/// Error numbers of the error queue (as SYST:ERR? reports them).
namespace scpi {
constexpr int kUndefinedHeader = -113;
constexpr int kSettingsConflict = -221;
constexpr int kDataOutOfRange = -222;
constexpr int kIllegalParameterValue = -224;
constexpr int kQueueOverflow = -350;
constexpr int kInputBufferOverrun = -363;
constexpr int kQueryInterrupted = -410;
} // namespace scpi

std::string upper(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

// Parses a decimal register value 0-255 (488.2 allows any decimal numeric; a value is
// rounded and must fit the register).
std::optional<std::uint8_t> registerValue(std::string_view text) {
    const std::string s(trim(text));
    if (s.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || !(v >= -0.5 && v < 255.5)) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(v + 0.5);
}

/// A block length beyond any real one; longer lengths are held at it.
constexpr std::uint64_t kMaxBlockLength = std::uint64_t{1} << 40;

/// A count from a command's argument: decimal digits, blanks around them allowed.
std::optional<std::uint64_t> countValue(std::string_view text) {
    const std::string_view s = trim(text);
    if (s.empty() || s.size() > 12) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return v;
}

} // namespace

Instrument::Instrument(InstrumentConfig config, std::size_t maxQueueBytes)
    : m_config(std::move(config)), m_maxQueue(maxQueueBytes) {}

void Instrument::receive(std::string_view data, bool end, Clock::time_point now) {
    std::size_t i = 0;
    while (i < data.size()) {
        if (m_blockLeft > 0) {
            // Block data is taken whole, whatever bytes it holds, and only counted.
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_blockLeft, data.size() - i));
            m_blockLeft -= n;
            m_messageBlock += n;
            i += n;
            if (end && i == data.size()) {
                endMessage(now);
            }
            continue;
        }
        const char c = data[i++];
        receiveByte(c, end && i == data.size(), now);
    }
    updateService(now);
}

void Instrument::receiveByte(char c, bool last, Clock::time_point now) {
    if (m_input.empty() && m_messageBlock == 0 && !m_output.empty()) {
        // A new program message while an answer is unread: the query is interrupted, so
        // a client that gave up on a read never gets the old answer for its next query.
        m_output.clear();
        pushError(scpi::kQueryInterrupted, "Query INTERRUPTED");
        m_esr |= esr::kQueryError;
    }
    if (c != '\n') {
        m_input += c;
        scanBlockHeader(c);
    }
    if (c == '\n' || last) {
        endMessage(now);
    } else if (m_input.size() > m_maxQueue) {
        m_input.clear();
        m_blockHeader = BlockHeader::None;
        pushError(scpi::kInputBufferOverrun, "Input buffer overrun");
        m_esr |= esr::kExecutionError;
    }
}

void Instrument::scanBlockHeader(char c) {
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

void Instrument::endMessage(Clock::time_point now) {
    std::string message;
    message.swap(m_input);
    if (!message.empty() && message.back() == '\r') {
        message.pop_back();
    }
    m_blockHeader = BlockHeader::None;
    m_blockLeft = 0;
    execute(message, now);
    m_messageBlock = 0;
}

void Instrument::execute(const std::string& message, Clock::time_point now) {
    m_lastCommand = message;
    Response response;
    // Text after a waveform block goes after its data.
    bool afterBlock = false;
    std::size_t start = 0;
    bool anyQuery = false;
    while (start <= message.size()) {
        std::size_t semi = message.find(';', start);
        if (semi == std::string::npos) {
            semi = message.size();
        }
        const std::string_view unit = trim(std::string_view(message).substr(start, semi - start));
        start = semi + 1;
        if (unit.empty()) {
            continue;
        }
        Reply reply;
        if (!executeUnit(unit, reply)) {
            pushError(scpi::kUndefinedHeader, "Undefined header");
            m_esr |= esr::kCommandError;
            continue;
        }
        if (unit.find('?') == std::string_view::npos) {
            continue;
        }
        std::string& text = afterBlock ? response.tail : response.head;
        if (anyQuery) {
            text += ';';
        }
        text += reply.text;
        anyQuery = true;
        if (reply.waveform > 0) {
            if (afterBlock) {
                // One block per answer: a second one is refused rather than held in memory.
                pushError(scpi::kSettingsConflict, "Settings conflict");
                m_esr |= esr::kExecutionError;
                continue;
            }
            response.generated = reply.waveform;
            afterBlock = true;
        }
    }
    if (anyQuery && !m_config.faults.silent) {
        pushResponse(std::move(response), now);
    }
}

bool Instrument::executeUnit(std::string_view unit, Reply& reply) {
    std::string_view headerText = unit;
    std::string_view args;
    const std::size_t space = unit.find_first_of(" \t");
    if (space != std::string_view::npos) {
        headerText = unit.substr(0, space);
        args = unit.substr(space + 1);
    }
    std::string header = upper(headerText);
    if (!header.empty() && header.front() == ':') {
        header.erase(0, 1);
    }
    if (executeCommon(header, args, reply.text) || executeBehaviour(header, args, reply)) {
        return true;
    }
    if (header == "SYST:ERR?" || header == "SYSTEM:ERROR?" || header == "SYST:ERR:NEXT?" ||
        header == "SYSTEM:ERROR:NEXT?") {
        if (m_errors.empty()) {
            reply.text = "0,\"No error\"";
        } else {
            reply.text = m_errors.front();
            m_errors.pop_front();
        }
        return true;
    }
    for (const auto& [query, answer] : m_config.queries) {
        if (upper(query) == header) {
            reply.text = answer;
            return true;
        }
    }
    return false;
}

bool Instrument::executeBehaviour(const std::string& header, std::string_view args, Reply& reply) {
    const auto entry =
        std::find_if(m_config.commands.begin(), m_config.commands.end(),
                     [&](const auto& command) { return upper(command.first) == header; });
    if (entry == m_config.commands.end()) {
        return false;
    }
    switch (entry->second) {
    case Behaviour::SetWaveformPoints: {
        const auto points = countValue(args);
        if (!points || *points < 1 || *points > kMaxWaveformPoints) {
            pushError(scpi::kDataOutOfRange, "Data out of range");
            m_esr |= esr::kExecutionError;
        } else {
            m_waveformPoints = *points;
        }
        break;
    }
    case Behaviour::WaveformPoints:
        reply.text = std::to_string(m_waveformPoints);
        break;
    case Behaviour::WaveformData: {
        const std::string length = std::to_string(m_waveformPoints);
        reply.text = "#" + std::to_string(length.size()) + length;
        reply.waveform = m_waveformPoints;
        break;
    }
    case Behaviour::AcceptBlock:
        m_acceptedBytes += m_messageBlock;
        break;
    case Behaviour::AcceptedBytes:
        reply.text = std::to_string(m_acceptedBytes);
        break;
    }
    return true;
}

void Instrument::setRegister(std::uint8_t& reg, std::string_view args) {
    const auto v = registerValue(args);
    if (!v) {
        pushError(scpi::kIllegalParameterValue, "Illegal parameter value");
        m_esr |= esr::kExecutionError;
    } else {
        reg = *v;
    }
}

bool Instrument::executeCommon(const std::string& header, std::string_view args,
                               std::string& reply) {
    if (header == "*IDN?") {
        reply = m_config.idn;
    } else if (header == "*RST" || header == "*WAI") {
        // No settings to reset and nothing pending to wait for; the queues stay as they are.
    } else if (header == "*CLS") {
        m_esr = 0;
        m_errors.clear();
    } else if (header == "*ESR?") {
        reply = std::to_string(m_esr);
        m_esr = 0;
    } else if (header == "*ESE") {
        setRegister(m_ese, args);
    } else if (header == "*ESE?") {
        reply = std::to_string(m_ese);
    } else if (header == "*SRE") {
        setRegister(m_sre, args);
        m_sre &= static_cast<std::uint8_t>(~stb::kRqs);
    } else if (header == "*SRE?") {
        reply = std::to_string(m_sre);
    } else if (header == "*STB?") {
        // *STB? reports MSS in bit 6, and unlike a serial poll it clears nothing.
        const std::uint8_t bits = summaryBits(Clock::now());
        reply = std::to_string(bits | ((bits & m_sre) != 0 ? stb::kRqs : 0));
    } else if (header == "*OPC") {
        m_esr |= esr::kOpc;
    } else if (header == "*OPC?") {
        reply = "1";
    } else if (header == "*TRG") {
        ++m_triggers;
    } else if (header == "*TST?") {
        reply = "0";
    } else {
        return false;
    }
    return true;
}

void Instrument::pushError(int code, std::string_view text) {
    if (m_errors.size() >= kMaxErrors) {
        m_errors.back() = std::to_string(scpi::kQueueOverflow) + ",\"Queue overflow\"";
        return;
    }
    m_errors.push_back(std::to_string(code) + ",\"" + std::string(text) + "\"");
}

void Instrument::pushResponse(Response response, Clock::time_point now) {
    (response.generated > 0 ? response.tail : response.head) +=
        m_config.faults.crlf ? "\r\n" : "\n";
    // A waveform's data is made as it is read; only what is held counts against the queue.
    if (outputBytes() + response.head.size() + response.tail.size() > m_maxQueue) {
        pushError(scpi::kQueueOverflow, "Queue overflow");
        m_esr |= esr::kQueryError;
        return;
    }
    response.readyAt = now + m_config.faults.answerDelay;
    m_output.push_back(std::move(response));
}

std::size_t Instrument::outputBytes() const {
    std::size_t n = 0;
    for (const Response& r : m_output) {
        n += r.head.size() + r.tail.size();
    }
    return n;
}

bool Instrument::hasOutput(Clock::time_point now) const {
    return !m_output.empty() && m_output.front().readyAt <= now;
}

std::optional<Clock::time_point> Instrument::nextOutputTime() const {
    if (m_output.empty()) {
        return std::nullopt;
    }
    return m_output.front().readyAt;
}

std::uint64_t Instrument::readable(Clock::time_point now) const {
    return hasOutput(now) ? m_output.front().size() - m_output.front().taken : 0;
}

std::size_t Instrument::takeOutput(std::span<std::uint8_t> out,
                                   std::optional<std::uint8_t> termChar, bool& end,
                                   Clock::time_point now) {
    end = false;
    if (!hasOutput(now)) {
        return 0;
    }
    Response& r = m_output.front();
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), r.size() - r.taken));
    // The three parts of the answer, each copied or made where it falls in `out`.
    std::size_t done = 0;
    auto copyText = [&](const std::string& text, std::uint64_t at) {
        if (done < n && r.taken + done >= at && r.taken + done < at + text.size()) {
            const auto from = static_cast<std::size_t>(r.taken + done - at);
            const std::size_t k = std::min(n - done, text.size() - from);
            std::memcpy(out.data() + done, text.data() + from, k);
            done += k;
        }
    };
    copyText(r.head, 0);
    const std::uint64_t dataStart = r.head.size();
    if (done < n && r.taken + done < dataStart + r.generated) {
        const std::uint64_t offset = r.taken + done - dataStart;
        const auto k =
            static_cast<std::size_t>(std::min<std::uint64_t>(n - done, r.generated - offset));
        waveformBytes(offset, out.subspan(done, k));
        done += k;
    }
    copyText(r.tail, dataStart + r.generated);
    std::size_t taken = done;
    if (termChar) {
        const auto* at = std::find(out.data(), out.data() + done, *termChar);
        if (at != out.data() + done) {
            taken = static_cast<std::size_t>(at - out.data()) + 1;
        }
    }
    r.taken += taken;
    if (r.taken == r.size()) {
        m_output.pop_front();
        end = true;
    }
    updateService(now);
    return taken;
}

void Instrument::takeOutput(std::uint64_t max, AnswerBytes& out, bool& end, Clock::time_point now) {
    end = false;
    out.head.clear();
    out.tail.clear();
    out.waveformOffset = 0;
    out.waveformLength = 0;
    if (!hasOutput(now)) {
        return;
    }
    Response& r = m_output.front();
    const std::uint64_t n = std::min(max, r.size() - r.taken);
    const std::uint64_t dataStart = r.head.size();
    const std::uint64_t dataEnd = dataStart + r.generated;
    // Each part of the answer that [taken, taken + n) covers.
    const auto cover = [&](std::uint64_t from, std::uint64_t to) {
        const std::uint64_t a = std::max(r.taken, from);
        const std::uint64_t b = std::min(r.taken + n, to);
        return std::pair(a, b > a ? b - a : 0);
    };
    const auto [headAt, headLength] = cover(0, dataStart);
    if (headLength > 0) {
        const auto from = r.head.begin() + static_cast<std::ptrdiff_t>(headAt);
        out.head.assign(from, from + static_cast<std::ptrdiff_t>(headLength));
    }
    const auto [dataAt, dataLength] = cover(dataStart, dataEnd);
    if (dataLength > 0) {
        out.waveformOffset = dataAt - dataStart;
        out.waveformLength = dataLength;
    }
    const auto [tailAt, tailLength] = cover(dataEnd, r.size());
    if (tailLength > 0) {
        const auto from = r.tail.begin() + static_cast<std::ptrdiff_t>(tailAt - dataEnd);
        out.tail.assign(from, from + static_cast<std::ptrdiff_t>(tailLength));
    }
    r.taken += n;
    if (r.taken == r.size()) {
        m_output.pop_front();
        end = true;
    }
    updateService(now);
}

std::uint8_t AnswerBytes::at(std::uint64_t i) const {
    if (i < head.size()) {
        return head[i];
    }
    i -= head.size();
    if (i < waveformLength) {
        std::uint8_t byte = 0;
        waveformBytes(waveformOffset + i, std::span(&byte, 1));
        return byte;
    }
    return tail[i - waveformLength];
}

std::uint8_t Instrument::summaryBits(Clock::time_point now) const {
    std::uint8_t bits = 0;
    if (!m_errors.empty()) {
        bits |= stb::kEav;
    }
    if (hasOutput(now)) {
        bits |= stb::kMav;
    }
    if (m_esr & m_ese) {
        bits |= stb::kEsb;
    }
    return bits;
}

void Instrument::updateService(Clock::time_point now) {
    // RQS rises when an enabled summary bit appears; it falls when the condition goes away
    // or a serial poll reads it.
    const bool set = (summaryBits(now) & m_sre) != 0;
    if (set && !m_summaryWasSet) {
        m_rqs = true;
    }
    if (!set) {
        m_rqs = false;
    }
    m_summaryWasSet = set;
}

std::uint8_t Instrument::statusByte(Clock::time_point now) {
    updateService(now);
    return static_cast<std::uint8_t>(summaryBits(now) | (m_rqs ? stb::kRqs : 0));
}

std::uint8_t Instrument::serialPoll(Clock::time_point now) {
    const std::uint8_t value = statusByte(now);
    m_rqs = false;
    return value;
}

bool Instrument::requestingService(Clock::time_point now) {
    updateService(now);
    return m_rqs;
}

void Instrument::deviceClear() {
    m_input.clear();
    m_output.clear();
    m_blockHeader = BlockHeader::None;
    m_blockLeft = 0;
    m_messageBlock = 0;
    ++m_clears;
}

InstrumentSnapshot Instrument::snapshot(Clock::time_point now) {
    InstrumentSnapshot s;
    s.pad = m_config.pad;
    s.sad = m_config.sad;
    s.inputQueue = m_input;
    s.lastCommand = m_lastCommand;
    s.outputQueueBytes = outputBytes();
    s.statusByte = statusByte(now);
    s.eventStatus = m_esr;
    s.errorCount = m_errors.size();
    s.triggerCount = m_triggers;
    s.clearCount = m_clears;
    s.acceptedBytes = m_acceptedBytes;
    s.remote = remote;
    s.lockout = lockout;
    s.listener = listener;
    s.talker = talker;
    return s;
}

} // namespace gateway
