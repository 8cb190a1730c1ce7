#include "gateway/instrument/Instrument.h"

#include "gateway/devices/DeviceName.h"

#include <algorithm>
#include <utility>

namespace gateway {

class Instrument::Receiver final : public ProgramParser::Sink {
public:
    Receiver(Instrument& instrument, Clock::time_point now)
        : m_instrument(instrument), m_now(now) {}

    void messageBegins() override { m_instrument.interruptQuery(); }
    void messageEnds(const std::string& message, std::uint64_t blockBytes) override {
        m_instrument.execute(message, blockBytes, m_now);
    }
    void overrun() override {
        m_instrument.m_status.fail(scpi::kInputBufferOverrun, "Input buffer overrun",
                                   esr::kExecutionError);
    }

private:
    Instrument& m_instrument;
    Clock::time_point m_now;
};

Instrument::Instrument(InstrumentConfig config, std::size_t maxQueueBytes)
    : m_config(std::move(config)), m_parser(maxQueueBytes), m_output(maxQueueBytes) {}

namespace {

/// Clients whose unfinished messages a LAN instrument keeps apart at most: one that leaves
/// without a word (a dropped connection) is forgotten once this many others came after it.
constexpr std::size_t kMaxOtherInputs = 64;

} // namespace

void Instrument::inputOf(std::uint64_t who) {
    if (m_config.name.empty() || who == m_inputOwner) {
        return;
    }
    if (!m_parser.pending().empty()) {
        if (m_otherInputs.size() >= kMaxOtherInputs) {
            m_otherInputs.erase(m_otherInputs.begin());
        }
        m_otherInputs.emplace_back(m_inputOwner, std::move(m_parser));
    }
    const auto kept = std::find_if(m_otherInputs.begin(), m_otherInputs.end(),
                                   [who](const auto& other) { return other.first == who; });
    if (kept != m_otherInputs.end()) {
        m_parser = std::move(kept->second);
        m_otherInputs.erase(kept);
    } else {
        m_parser = ProgramParser(m_output.maxBytes());
    }
    m_inputOwner = who;
}

void Instrument::forgetInput(std::uint64_t who) {
    if (m_config.name.empty()) {
        return; // on the bus the bytes are the bus's, whoever sent them
    }
    if (who == m_inputOwner) {
        m_parser.clear();
        return;
    }
    std::erase_if(m_otherInputs, [who](const auto& other) { return other.first == who; });
}

bool Instrument::midMessage(std::uint64_t who) const {
    if (who == m_inputOwner || m_config.name.empty()) {
        return !m_parser.pending().empty();
    }
    return std::any_of(m_otherInputs.begin(), m_otherInputs.end(), [who](const auto& other) {
        return other.first == who && !other.second.pending().empty();
    });
}

void Instrument::receive(std::string_view data, bool end, Clock::time_point now,
                         std::uint64_t who) {
    inputOf(who);
    Receiver receiver(*this, now);
    m_parser.receive(data, end, receiver);
    m_status.update(messageAvailable(now));
}

std::size_t Instrument::receiveOne(std::string_view data, bool end, Clock::time_point now,
                                   std::uint64_t who) {
    inputOf(who);
    Receiver receiver(*this, now);
    const std::size_t used = m_parser.receiveOne(data, end, receiver);
    m_status.update(messageAvailable(now));
    return used;
}

bool Instrument::interruptQuery() {
    if (m_output.empty()) {
        return false;
    }
    // A new program message while an answer is unread: the query is interrupted, so a client
    // that gave up on a read never gets the old answer for its next query.
    m_output.clear();
    queryInterrupted();
    return true;
}

void Instrument::queryInterrupted() {
    m_status.fail(scpi::kQueryInterrupted, "Query INTERRUPTED", esr::kQueryError);
}

void Instrument::execute(const std::string& message, std::uint64_t blockBytes,
                         Clock::time_point now) {
    m_lastCommand = message;
    Answer answer;
    // Text after a waveform block goes after its data.
    bool afterBlock = false;
    bool anyQuery = false;
    ProgramParser::units(message, m_units);
    for (const ProgramUnit& unit : m_units) {
        Reply reply;
        if (!run(unit, blockBytes, reply)) {
            m_status.fail(scpi::kUndefinedHeader, "Undefined header", esr::kCommandError);
            continue;
        }
        if (!unit.query) {
            continue;
        }
        std::string& text = afterBlock ? answer.tail : answer.head;
        if (anyQuery) {
            text += ';';
        } else {
            text.reserve(reply.text.size() + 2); // and its terminator, without growing again
        }
        text += reply.text;
        anyQuery = true;
        if (reply.waveform > 0) {
            if (afterBlock) {
                // One block per answer: a second one is refused rather than held in memory.
                m_status.fail(scpi::kSettingsConflict, "Settings conflict", esr::kExecutionError);
                continue;
            }
            answer.generated = reply.waveform;
            afterBlock = true;
        }
    }
    if (anyQuery && !m_config.faults.silent) {
        respond(std::move(answer), now);
    }
}

bool Instrument::run(const ProgramUnit& unit, std::uint64_t blockBytes, Reply& reply) {
    const CommandRow* row = findCommand(commonCommands(), unit.header);
    if (row == nullptr) {
        row = findCommand(m_config.commands, unit.header);
    }
    if (row != nullptr) {
        CommandContext context{unit.args, blockBytes, m_config, m_status,
                               m_output,  m_settings, reply};
        row->action(context);
        return true;
    }
    // A fixed answer needs no row of its own.
    for (const auto& [query, text] : m_config.queries) {
        if (sameIgnoringCase(query, unit.header)) {
            reply.text = text;
            return true;
        }
    }
    return false;
}

void Instrument::respond(Answer answer, Clock::time_point now) {
    (answer.generated > 0 ? answer.tail : answer.head) += m_config.faults.crlf ? "\r\n" : "\n";
    if (!m_output.push(std::move(answer), now + m_config.faults.answerDelay)) {
        m_status.fail(scpi::kQueueOverflow, "Queue overflow", esr::kQueryError);
    }
}

std::size_t Instrument::takeOutput(std::span<std::uint8_t> out,
                                   std::optional<std::uint8_t> termChar, bool& end,
                                   Clock::time_point now) {
    const std::size_t taken = m_output.take(out, termChar, end, now);
    m_status.update(messageAvailable(now));
    return taken;
}

void Instrument::takeOutput(std::uint64_t max, AnswerBytes& out, bool& end, Clock::time_point now) {
    m_output.take(max, out, end, now);
    m_status.update(messageAvailable(now));
}

std::uint8_t Instrument::statusByte(Clock::time_point now) {
    return m_status.statusByte(messageAvailable(now));
}

std::uint8_t Instrument::serialPoll(Clock::time_point now) {
    return m_status.serialPoll(messageAvailable(now));
}

void Instrument::deviceClear() {
    m_parser.clear();
    m_otherInputs.clear();
    m_output.clear();
    ++m_clears;
}

InstrumentSnapshot Instrument::snapshot(Clock::time_point now) {
    InstrumentSnapshot s;
    s.pad = m_config.pad;
    s.sad = m_config.sad;
    s.inputQueue = m_parser.pending();
    s.lastCommand = m_lastCommand;
    s.outputQueueBytes = m_output.heldBytes();
    s.statusByte = statusByte(now);
    s.eventStatus = m_status.eventStatus();
    s.errorCount = m_status.errorCount();
    s.triggerCount = m_settings.triggers;
    s.clearCount = m_clears;
    s.acceptedBytes = m_settings.acceptedBytes;
    s.remote = remote;
    s.lockout = lockout;
    s.remoteEnable = remoteEnable;
    s.listener = listener;
    s.talker = talker;
    return s;
}

} // namespace gateway
