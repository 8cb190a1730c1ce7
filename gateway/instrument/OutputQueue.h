#pragma once
// An instrument's output queue: the answers of its queries, each readable from a moment of its
// own (a slow instrument's answer comes late), taken by reads in pieces of any size. A
// waveform block is held as its length only and made as it is taken.

#include "gateway/devices/AnswerBytes.h"
#include "gateway/instrument/InstrumentConfig.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace gateway {

/// One answer: `head`, then `generated` bytes of the waveform, then `tail`. Only a waveform
/// block has the last two.
struct Answer {
    std::string head;
    std::uint64_t generated = 0;
    std::string tail;

    std::uint64_t size() const { return head.size() + generated + tail.size(); }
};

class OutputQueue {
public:
    /// `maxBytes` bounds the text held; a waveform's data is made as it is read and does not
    /// count.
    explicit OutputQueue(std::size_t maxBytes) : m_maxBytes(maxBytes) {}
    /// The bound of the text held (the instrument's queue size).
    std::size_t maxBytes() const { return m_maxBytes; }

    /// Queues `answer`, readable from `readyAt`; false (and nothing queued) when its text would
    /// pass the limit.
    bool push(Answer answer, Clock::time_point readyAt);
    bool empty() const { return m_answers.empty(); }
    /// Drops every answer, read or not.
    void clear() { m_answers.clear(); }
    /// The text bytes held.
    std::size_t heldBytes() const;

    /// True if an answer byte is readable at `now`.
    bool hasOutput(Clock::time_point now) const;
    /// When the next answer becomes readable, if one is queued.
    std::optional<Clock::time_point> nextOutputTime() const;
    /// Bytes left of the answer readable at `now` (0 if none).
    std::uint64_t readable(Clock::time_point now) const;
    /// Takes up to `out.size()` bytes of the readable answer into `out`, stopping after
    /// `termChar` (if set); returns how many. `end` reports that the last byte taken ended the
    /// answer (END).
    std::size_t take(std::span<std::uint8_t> out, std::optional<std::uint8_t> termChar, bool& end,
                     Clock::time_point now);
    /// Takes up to `max` bytes of the readable answer into `out` (whose head is reused),
    /// leaving a waveform's data to be made as it is sent. `end` as above.
    void take(std::uint64_t max, AnswerBytes& out, bool& end, Clock::time_point now);

private:
    struct Queued {
        Answer answer;
        std::uint64_t taken = 0; ///< bytes read so far
        Clock::time_point readyAt;
    };

    /// Counts `n` more bytes of the front answer taken; true (and the answer gone) when that
    /// was its end.
    bool advance(std::uint64_t n);

    std::size_t m_maxBytes;
    std::deque<Queued> m_answers;
};

} // namespace gateway
