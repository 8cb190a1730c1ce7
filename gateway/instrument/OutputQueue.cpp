#include "gateway/instrument/OutputQueue.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace gateway {

bool OutputQueue::push(Answer answer, Clock::time_point readyAt) {
    if (heldBytes() + answer.head.size() + answer.tail.size() > m_maxBytes) {
        return false;
    }
    m_answers.push_back({std::move(answer), 0, readyAt});
    return true;
}

std::size_t OutputQueue::heldBytes() const {
    std::size_t n = 0;
    for (const Queued& q : m_answers) {
        n += q.answer.head.size() + q.answer.tail.size();
    }
    return n;
}

bool OutputQueue::hasOutput(Clock::time_point now) const {
    return !m_answers.empty() && m_answers.front().readyAt <= now;
}

std::optional<Clock::time_point> OutputQueue::nextOutputTime() const {
    if (m_answers.empty()) {
        return std::nullopt;
    }
    return m_answers.front().readyAt;
}

std::uint64_t OutputQueue::readable(Clock::time_point now) const {
    if (!hasOutput(now)) {
        return 0;
    }
    const Queued& q = m_answers.front();
    return q.answer.size() - q.taken;
}

bool OutputQueue::advance(std::uint64_t n) {
    Queued& q = m_answers.front();
    q.taken += n;
    if (q.taken < q.answer.size()) {
        return false;
    }
    m_answers.pop_front();
    return true;
}

std::size_t OutputQueue::take(std::span<std::uint8_t> out, std::optional<std::uint8_t> termChar,
                              bool& end, Clock::time_point now) {
    end = false;
    if (!hasOutput(now)) {
        return 0;
    }
    const Queued& q = m_answers.front();
    const Answer& a = q.answer;
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), a.size() - q.taken));
    // The three parts of the answer, each copied or made where it falls in `out`.
    std::size_t done = 0;
    auto copyText = [&](const std::string& text, std::uint64_t at) {
        if (done < n && q.taken + done >= at && q.taken + done < at + text.size()) {
            const auto from = static_cast<std::size_t>(q.taken + done - at);
            const std::size_t k = std::min(n - done, text.size() - from);
            std::memcpy(out.data() + done, text.data() + from, k);
            done += k;
        }
    };
    copyText(a.head, 0);
    const std::uint64_t dataStart = a.head.size();
    if (done < n && q.taken + done < dataStart + a.generated) {
        const std::uint64_t offset = q.taken + done - dataStart;
        const auto k =
            static_cast<std::size_t>(std::min<std::uint64_t>(n - done, a.generated - offset));
        waveformBytes(offset, out.subspan(done, k));
        done += k;
    }
    copyText(a.tail, dataStart + a.generated);
    std::size_t taken = done;
    if (termChar) {
        const auto* at = std::find(out.data(), out.data() + done, *termChar);
        if (at != out.data() + done) {
            taken = static_cast<std::size_t>(at - out.data()) + 1;
        }
    }
    end = advance(taken);
    return taken;
}

namespace {

/// The text as bytes, so that copying it is one block move rather than a loop of conversions.
const std::uint8_t* bytesOf(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

} // namespace

void OutputQueue::take(std::uint64_t max, AnswerBytes& out, bool& end, Clock::time_point now) {
    end = false;
    out.head.clear();
    out.tail.clear();
    out.maker = nullptr;
    out.madeOffset = 0;
    out.madeLength = 0;
    if (!hasOutput(now)) {
        return;
    }
    const Queued& q = m_answers.front();
    const Answer& a = q.answer;
    const std::uint64_t n = std::min(max, a.size() - q.taken);
    const std::uint64_t dataStart = a.head.size();
    const std::uint64_t dataEnd = dataStart + a.generated;
    // Each part of the answer that [taken, taken + n) covers.
    const auto cover = [&](std::uint64_t from, std::uint64_t to) {
        const std::uint64_t first = std::max(q.taken, from);
        const std::uint64_t last = std::min(q.taken + n, to);
        return std::pair(first, last > first ? last - first : 0);
    };
    const auto [headAt, headLength] = cover(0, dataStart);
    if (headLength > 0) {
        const auto* from = bytesOf(a.head) + headAt;
        out.head.assign(from, from + headLength);
    }
    const auto [dataAt, dataLength] = cover(dataStart, dataEnd);
    if (dataLength > 0) {
        out.maker = waveformBytes;
        out.madeOffset = dataAt - dataStart;
        out.madeLength = dataLength;
    }
    const auto [tailAt, tailLength] = cover(dataEnd, a.size());
    if (tailLength > 0) {
        const auto* from = bytesOf(a.tail) + (tailAt - dataEnd);
        out.tail.assign(from, from + tailLength);
    }
    end = advance(n);
}

} // namespace gateway
