#include "gateway/adapter/AdapterLink.h"

#include "gateway/adapter/ReadFramer.h"
#include "net/TransportError.h"

#include <algorithm>

namespace gateway::adapter {

using namespace std::chrono_literals;
using net::Deadline;
using net::TransportError;

namespace {

/// How long a wait on the stream lasts before it looks at the halt flag again.
constexpr auto kHaltSlice = 100ms;
/// Slack on every wait for a reply, for an adapter that is slow to parse.
constexpr auto kReplySlack = 2s;
/// Lines that may come before an expected reply before the stream counts as out of step.
constexpr std::size_t kMaxStrayLines = 64;
/// The receive buffer: large enough that a fast block read costs few calls.
constexpr std::size_t kBufferSize = 64 * 1024;

} // namespace

AdapterLink::AdapterLink(LinkConfig config, const std::atomic<bool>& halt)
    : m_config(std::move(config)), m_halt(halt), m_buffer(kBufferSize) {}

void AdapterLink::close() noexcept {
    m_stream.reset();
    m_bufferStart = m_bufferEnd = 0;
    m_out.clear();
}

AdapterLink::Key AdapterLink::keyOf(const GpibAddress& address) {
    return {address.primary, address.secondary ? *address.secondary : -1};
}

std::chrono::milliseconds AdapterLink::jitter() const {
    return std::max<std::chrono::milliseconds>(50ms, m_config.perByte / 2);
}

Deadline AdapterLink::replyBound(std::size_t steps) const {
    const auto perByte = m_perByteSet.value_or(m_config.perByte);
    const auto each = perByte + jitter();
    return Deadline::after(each * static_cast<long>(std::max<std::size_t>(steps, 1)) +
                           std::chrono::duration_cast<std::chrono::milliseconds>(kReplySlack));
}

void AdapterLink::queue(std::string_view text) {
    m_out.insert(m_out.end(), text.begin(), text.end());
}

void AdapterLink::flush() {
    if (m_out.empty()) {
        return;
    }
    if (!m_stream) {
        throw TransportError(TransportError::Kind::ConnectionLost, m_name);
    }
    // A stream takes at least a tenth of its baud rate in bytes a second; a TCP adapter far more.
    const auto transfer = std::chrono::milliseconds(m_out.size() * 20'000 / m_config.baud);
    m_stream->send(m_out, Deadline::after(transfer + kReplySlack));
    m_out.clear();
}

std::span<const std::uint8_t> AdapterLink::fetch(Deadline deadline) {
    if (m_bufferStart < m_bufferEnd) {
        return {m_buffer.data() + m_bufferStart, m_bufferEnd - m_bufferStart};
    }
    if (!m_stream) {
        throw TransportError(TransportError::Kind::ConnectionLost, m_name);
    }
    m_bufferStart = m_bufferEnd = 0;
    for (;;) {
        if (m_halt.load(std::memory_order_relaxed)) {
            throw LinkHalted();
        }
        try {
            m_bufferEnd =
                m_stream->receiveSome(m_buffer, deadline.earlier(Deadline::after(kHaltSlice)));
            return {m_buffer.data(), m_bufferEnd};
        } catch (const TransportError& e) {
            if (e.kind() != TransportError::Kind::Timeout || deadline.expired()) {
                throw;
            }
        }
    }
}

void AdapterLink::consume(std::size_t count) {
    m_bufferStart = std::min(m_bufferStart + count, m_bufferEnd);
}

std::string AdapterLink::readLine(Deadline deadline) {
    LineSplitter splitter;
    for (;;) {
        std::span<const std::uint8_t> bytes;
        try {
            bytes = fetch(deadline);
        } catch (const TransportError& e) {
            if (e.kind() != TransportError::Kind::Timeout) {
                throw;
            }
            m_suspect = true;
            throw AdapterSilent(m_name + ": no answer from the adapter");
        }
        consume(splitter.feed(bytes));
        if (auto line = splitter.take()) {
            return *line;
        }
    }
}

std::vector<std::string> AdapterLink::linesUntil(std::string_view last, Deadline deadline) {
    std::vector<std::string> before;
    for (;;) {
        std::string line = readLine(deadline);
        if (line == last) {
            return before;
        }
        if (before.size() == kMaxStrayLines) {
            m_suspect = true;
            throw AdapterSilent(m_name + ": the adapter's answers are out of step");
        }
        before.push_back(std::move(line));
    }
}

std::vector<std::string> AdapterLink::linesUntilQuiet(std::chrono::milliseconds quiet,
                                                      Deadline deadline) {
    std::vector<std::string> lines;
    LineSplitter splitter;
    for (;;) {
        if (deadline.expired()) {
            m_suspect = true;
            throw AdapterSilent(m_name + ": the adapter does not fall silent");
        }
        std::span<const std::uint8_t> bytes;
        try {
            bytes = fetch(Deadline::after(quiet).earlier(deadline));
        } catch (const TransportError& e) {
            if (e.kind() != TransportError::Kind::Timeout) {
                throw;
            }
            return lines; // quiet: a partial line left is dropped
        }
        while (!bytes.empty()) {
            const std::size_t used = splitter.feed(bytes);
            consume(used);
            bytes = bytes.subspan(used);
            if (auto line = splitter.take(); line && lines.size() < kMaxStrayLines) {
                lines.push_back(std::move(*line));
            }
        }
    }
}

Outcome AdapterLink::outcomeOf(const std::vector<std::string>& lines) {
    Outcome outcome = Outcome::Done;
    for (const std::string& line : lines) {
        const ErrorLine error = errorLineOf(line);
        if (error == ErrorLine::None) {
            m_suspect = true; // not an answer to anything sent: something is out of step
            return Outcome::IoError;
        }
        outcome = error == ErrorLine::Unrecognized ? Outcome::NotSupported : Outcome::IoError;
    }
    return outcome;
}

Outcome AdapterLink::confirm(std::size_t steps) {
    queue("++mode\n");
    flush();
    return outcomeOf(linesUntil("1", replyBound(steps)));
}

void AdapterLink::ensureAddress(const GpibAddress& address) {
    if (m_address != address) {
        queue(addressCommand(address));
        m_address = address;
    }
}

void AdapterLink::ensurePerByte(std::chrono::milliseconds perByte) {
    const long limit = m_flavour == Flavour::Prologix ? 3000 : 32000;
    perByte = std::clamp<std::chrono::milliseconds>(perByte, 1ms, std::chrono::milliseconds(limit));
    if (m_perByteSet != perByte) {
        queue("++read_tmo_ms " + std::to_string(perByte.count()) + "\n");
        m_perByteSet = perByte;
    }
}

bool AdapterLink::ownAddress(const GpibAddress& address) const {
    // An AR488 refuses its own address without a word and keeps the previous one, which would
    // send the next message to the wrong instrument.
    return m_flavour == Flavour::Ar488 && address.primary == 0;
}

void AdapterLink::resync() {
    m_out.clear();
    m_bufferStart = m_bufferEnd = 0;
    queue("++ver\n");
    flush();
    // Whatever an abandoned exchange still had to say comes first; the version line is the
    // reply to this request only once the stream then falls silent.
    const Deadline deadline = replyBound(2);
    for (;;) {
        linesUntil(m_version, deadline);
        if (linesUntilQuiet(50ms, deadline).empty()) {
            break;
        }
        queue("++ver\n");
        flush();
    }
    m_suspect = false;
}

Outcome AdapterLink::command(std::string_view command) {
    queue(command);
    return confirm();
}

Outcome AdapterLink::addressed(const GpibAddress& address, std::string_view command) {
    if (ownAddress(address)) {
        return Outcome::IoError;
    }
    ensureAddress(address);
    return this->command(command);
}

PollResult AdapterLink::serialPoll(const GpibAddress& address) {
    // An AR488 polls primaries only, and its spoll has no secondary: polling the primary
    // instead would report another device's status byte.
    if (m_flavour == Flavour::Ar488 && address.secondary) {
        return {Outcome::NotSupported, 0};
    }
    if (ownAddress(address)) {
        return {Outcome::IoError, 0};
    }
    // A device that does not answer gets no reply at all on an AR488: the version line queued
    // behind the poll marks where its answer would have ended.
    queue(serialPollCommand(address));
    queue("++ver\n");
    flush();
    const auto lines = linesUntil(m_version, replyBound());
    if (lines.empty()) {
        return {Outcome::IoError, 0};
    }
    if (lines.size() == 1) {
        if (const auto status = parseSmallNumber(lines[0], 255)) {
            return {Outcome::Done, static_cast<std::uint8_t>(*status)};
        }
    }
    return {outcomeOf(lines) == Outcome::NotSupported ? Outcome::NotSupported : Outcome::IoError,
            0};
}

LineResult AdapterLink::queryLine(std::string_view command) {
    queue(command);
    flush();
    const std::string line = readLine(replyBound());
    if (const auto value = parseSmallNumber(line, 1)) {
        return {Outcome::Done, *value == 1};
    }
    return {outcomeOf({line}), false};
}

AddressList AdapterLink::findListeners() {
    // The search forces the per-byte time-out to 35 ms and restores it only when it succeeds:
    // it is set again after it, whatever happened.
    queue("++fndl all\n");
    m_perByteSet.reset();
    ensurePerByte(m_config.perByte);
    queue("++ver\n");
    flush();
    const auto lines = linesUntil(m_version, replyBound(8));
    if (lines.size() == 1) {
        if (auto found = parseListeners(lines[0])) {
            return {Outcome::Done, std::move(*found)};
        }
    }
    return {lines.empty() ? Outcome::IoError : outcomeOf(lines), {}};
}

AddressList AdapterLink::answeringPoll(const std::vector<GpibAddress>& candidates,
                                       const JobControl& control) {
    AddressList result;
    ensurePerByte(m_config.scanPerByte);
    for (const GpibAddress& address : candidates) {
        if (control.abandoned()) {
            break;
        }
        if (serialPoll(address).outcome == Outcome::Done) {
            result.addresses.push_back(address);
        }
    }
    ensurePerByte(m_config.perByte);
    flush();
    return result;
}

void AdapterLink::forget(const std::optional<GpibAddress>& address) {
    if (address) {
        m_pending.erase(keyOf(*address));
    } else {
        m_pending.clear();
    }
}

} // namespace gateway::adapter
