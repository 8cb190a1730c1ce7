// Messages to and from an instrument through the adapter.

#include "gateway/adapter/AdapterLink.h"

#include "gateway/adapter/ReadFramer.h"
#include "net/TransportError.h"

#include <algorithm>

namespace gateway::adapter {

using namespace std::chrono_literals;
using net::Deadline;
using net::TransportError;

namespace {

/// Data lines go out in batches of about this many bytes; a caller that gives up is noticed
/// between batches, never inside a line.
constexpr std::size_t kBatch = 4096;
/// The most of one address's unread message the driver keeps.
constexpr std::size_t kMaxPending = 64 * 1024 * 1024;
/// What a read may stay silent, beyond a per-byte time-out and the jitter, before the adapter
/// counts as out of step (its read must have ended by then, and the sentinel come).
constexpr auto kReadSlack = 2s;

} // namespace

WriteResult AdapterLink::write(const GpibAddress& address, std::span<const std::uint8_t> data,
                               bool end, const JobControl& control,
                               std::atomic<std::size_t>& progress) {
    if (ownAddress(address)) {
        return {Outcome::IoError, 0};
    }
    if (data.empty() || control.abandoned()) {
        return {Outcome::Done, 0}; // END needs a byte to ride on
    }
    ensureAddress(address);
    // An AR488 sends a line longer than its buffer in pieces, each ended as a message of its
    // own when `++eoi 1` is set; lines of one piece each, under `++eoi 0` but the last, make
    // the pieces one message with END on its last byte only.
    const std::size_t maxLine = m_flavour == Flavour::Ar488 ? kAr488Piece : data.size();
    const EncodedWrite encoded = encodeWrite(data, end, maxLine, m_eoi);
    const std::size_t lines = encoded.lineEnds.size();
    std::size_t from = 0;
    std::size_t line = 0;
    while (line < lines && (line == 0 || !control.abandoned())) {
        std::size_t to = line + 1;
        while (to < lines && encoded.lineEnds[to] - from <= kBatch) {
            ++to;
        }
        queue({reinterpret_cast<const char*>(encoded.text.data() + from),
               encoded.lineEnds[to - 1] - from});
        flush();
        from = encoded.lineEnds[to - 1];
        line = to;
        progress.store(encoded.dataEnds[to - 1], std::memory_order_relaxed);
    }
    // Left part-way, the `++eoi` the adapter holds is whatever the sent part said last.
    m_eoi = line == lines ? std::optional<bool>(encoded.eoiAfter) : std::nullopt;
    const Outcome outcome = confirm(line + 1);
    return {line == lines ? outcome : Outcome::TimedOut, encoded.dataEnds[line - 1]};
}

Outcome AdapterLink::read(const GpibAddress& address, ReadConsumer& consumer, bool oneRead) {
    Pending& slot = m_pending[keyOf(address)];
    Pending kept = std::move(slot);
    slot = Pending{};
    if (!kept.bytes.empty()) {
        route(kept.bytes, true, kept.complete, consumer, slot);
        if (kept.complete || consumer.satisfied()) {
            return Outcome::Done;
        }
    }
    if (ownAddress(address)) {
        return Outcome::IoError;
    }
    ensureAddress(address);
    if (m_eoi != true) {
        queue("++eoi 1\n"); // an AR488 ends a read at EOI only while this is set
        m_eoi = true;
    }
    // A read that timed out without EOI may only have met a slow talker, or one with nothing
    // to say yet: it is asked again while its caller still waits.
    while (!consumer.abandoned()) {
        if (readOnce(consumer, slot) || consumer.satisfied() || oneRead) {
            break;
        }
    }
    return Outcome::Done;
}

bool AdapterLink::readOnce(ReadConsumer& consumer, Pending& rest) {
    queue("++read eoi\n");
    queue(ReadFramer::kSentinelCommand);
    flush();
    const auto perByte = m_perByteSet.value_or(m_config.perByte);
    ReadFramer framer(m_config.marker, perByte, jitter());
    std::vector<std::uint8_t> data;
    const auto silenceBound = [&] { return Deadline::after(perByte + jitter() + kReadSlack); };
    Deadline silence = silenceBound();
    for (;;) {
        const auto decision = framer.decisionAt();
        std::span<const std::uint8_t> bytes;
        try {
            bytes = fetch(decision ? Deadline::at(*decision) : silence);
        } catch (const TransportError& e) {
            if (e.kind() != TransportError::Kind::Timeout) {
                throw;
            }
            data.clear();
            if (framer.settle(ReadFramer::Clock::now(), data)) {
                route(data, true, false, consumer, rest);
                return false;
            }
            if (!decision) {
                m_suspect = true;
                throw AdapterSilent(m_name + ": a read did not end");
            }
            continue;
        }
        data.clear();
        const bool ended = framer.feed(bytes, ReadFramer::Clock::now(), data);
        consume(bytes.size());
        silence = silenceBound();
        route(data, ended, ended, consumer, rest);
        if (ended) {
            return true;
        }
    }
}

void AdapterLink::keep(const GpibAddress& address, std::vector<std::uint8_t> bytes, bool complete) {
    if (bytes.empty()) {
        return;
    }
    Pending& slot = m_pending[keyOf(address)];
    if (slot.bytes.empty()) {
        slot.complete = complete;
    }
    bytes.insert(bytes.end(), slot.bytes.begin(), slot.bytes.end());
    slot.bytes = std::move(bytes);
}

void AdapterLink::route(std::span<const std::uint8_t> bytes, bool final, bool eoi,
                        ReadConsumer& consumer, Pending& rest) {
    if (consumer.abandoned()) {
        rest = Pending{}; // a read its caller gave up on is drained and dropped, not kept
        return;
    }
    const bool wasSatisfied = consumer.satisfied();
    if (!wasSatisfied) {
        bytes = bytes.subspan(consumer.offer(bytes, final && eoi));
    }
    // An end that came alone belongs to the bytes already passed on.
    if ((!bytes.empty() || (wasSatisfied && final && eoi)) &&
        consumer.follow(bytes, final && eoi)) {
        return;
    }
    if (bytes.empty()) {
        return;
    }
    if (rest.bytes.size() + bytes.size() > kMaxPending) {
        if (m_config.log) {
            m_config.log("adapter " + m_name + ": dropped the unread rest of a long message");
        }
        rest = Pending{};
        return;
    }
    rest.bytes.insert(rest.bytes.end(), bytes.begin(), bytes.end());
    rest.complete = final && eoi;
}

} // namespace gateway::adapter
