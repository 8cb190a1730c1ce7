#include "gateway/Instrument.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace gateway {

namespace {

constexpr std::size_t kMaxErrors = 10;

/// Error numbers of the error queue (as SYST:ERR? reports them).
namespace scpi {
constexpr int kUndefinedHeader = -113;
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

} // namespace

Instrument::Instrument(InstrumentConfig config, std::size_t maxQueueBytes)
    : m_config(std::move(config)), m_maxQueue(maxQueueBytes) {}

void Instrument::receive(std::string_view data, bool end, Clock::time_point now) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        const bool last = end && i + 1 == data.size();
        if (m_input.empty() && !m_output.empty()) {
            // A new program message while an answer is unread: the query is interrupted, so
            // a client that gave up on a read never gets the old answer for its next query.
            m_output.clear();
            pushError(scpi::kQueryInterrupted, "Query INTERRUPTED");
            m_esr |= esr::kQueryError;
        }
        if (c != '\n') {
            m_input += c;
        }
        if (c == '\n' || last) {
            std::string message;
            message.swap(m_input);
            if (!message.empty() && message.back() == '\r') {
                message.pop_back();
            }
            execute(message, now);
        } else if (m_input.size() > m_maxQueue) {
            m_input.clear();
            pushError(scpi::kInputBufferOverrun, "Input buffer overrun");
            m_esr |= esr::kExecutionError;
        }
    }
    updateService(now);
}

void Instrument::execute(const std::string& message, Clock::time_point now) {
    m_lastCommand = message;
    std::string response;
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
        std::string reply;
        if (!executeUnit(unit, reply)) {
            pushError(scpi::kUndefinedHeader, "Undefined header");
            m_esr |= esr::kCommandError;
            continue;
        }
        if (unit.find('?') != std::string_view::npos) {
            if (anyQuery) {
                response += ';';
            }
            response += reply;
            anyQuery = true;
        }
    }
    if (anyQuery && !m_config.faults.silent) {
        pushResponse(std::move(response), now);
    }
}

bool Instrument::executeUnit(std::string_view unit, std::string& reply) {
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
    if (executeCommon(header, args, reply)) {
        return true;
    }
    if (header == "SYST:ERR?" || header == "SYSTEM:ERROR?" || header == "SYST:ERR:NEXT?" ||
        header == "SYSTEM:ERROR:NEXT?") {
        if (m_errors.empty()) {
            reply = "0,\"No error\"";
        } else {
            reply = m_errors.front();
            m_errors.pop_front();
        }
        return true;
    }
    for (const auto& [query, answer] : m_config.queries) {
        if (upper(query) == header) {
            reply = answer;
            return true;
        }
    }
    return false;
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

void Instrument::pushResponse(std::string text, Clock::time_point now) {
    text += m_config.faults.crlf ? "\r\n" : "\n";
    if (outputBytes() + text.size() > m_maxQueue) {
        pushError(scpi::kQueueOverflow, "Queue overflow");
        m_esr |= esr::kQueryError;
        return;
    }
    m_output.push_back({std::move(text), now + m_config.faults.answerDelay});
}

std::size_t Instrument::outputBytes() const {
    std::size_t n = 0;
    for (const Response& r : m_output) {
        n += r.bytes.size();
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

std::string Instrument::takeOutput(std::size_t max, std::optional<std::uint8_t> termChar, bool& end,
                                   Clock::time_point now) {
    end = false;
    std::string out;
    if (!hasOutput(now)) {
        return out;
    }
    std::string& bytes = m_output.front().bytes;
    std::size_t n = std::min(max, bytes.size());
    if (termChar) {
        const std::size_t at = bytes.find(static_cast<char>(*termChar));
        if (at != std::string::npos && at < n) {
            n = at + 1;
        }
    }
    out = bytes.substr(0, n);
    bytes.erase(0, n);
    if (bytes.empty()) {
        m_output.pop_front();
        end = true;
    }
    updateService(now);
    return out;
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
    s.remote = remote;
    s.lockout = lockout;
    s.listener = listener;
    s.talker = talker;
    return s;
}

} // namespace gateway
