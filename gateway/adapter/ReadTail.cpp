#include "gateway/adapter/ReadTail.h"

#include <algorithm>
#include <utility>

namespace gateway::adapter {

namespace {

using Clock = std::chrono::steady_clock;

/// How often a waiting reader asks its stop.
constexpr auto kStopLook = std::chrono::milliseconds(20);

} // namespace

bool ReadTail::add(std::span<const std::uint8_t> bytes, bool eoi) {
    {
        const std::lock_guard lk(m_mutex);
        if (m_closed || m_bytes.size() + bytes.size() > m_most) {
            return false;
        }
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        m_eoi = m_eoi || eoi;
    }
    m_changed.notify_all();
    return true;
}

std::vector<std::uint8_t> ReadTail::close(bool& eoi) {
    std::vector<std::uint8_t> rest;
    std::unique_lock lk(m_mutex);
    m_closed = true;
    m_changed.notify_all();
    // A reader waiting now takes what it may first, the end of the message included; it is
    // only ever a moment, as a closed tail ends every wait.
    m_changed.wait(lk, [this] { return m_readers == 0; });
    rest.swap(m_bytes);
    eoi = std::exchange(m_eoi, false); // the end goes with the rest, to the next read
    return rest;
}

void ReadTail::takeKept(std::vector<std::uint8_t>& got, ReadResult& result, std::size_t max,
                        std::optional<std::uint8_t> termChar) {
    std::size_t take = std::min(m_bytes.size(), max - got.size());
    if (termChar) {
        const auto stop = m_bytes.begin() + static_cast<std::ptrdiff_t>(take);
        const auto found = std::find(m_bytes.begin(), stop, *termChar);
        if (found != stop) {
            take = static_cast<std::size_t>(found - m_bytes.begin()) + 1;
            result.termChar = true;
        }
    }
    got.insert(got.end(), m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(take));
    m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(take));
    // The end goes to the reader of the last byte, or alone to the next when it came alone.
    if (m_eoi && m_bytes.empty()) {
        result.end = true;
        m_eoi = false;
        m_ended = true;
    }
    result.countReached = got.size() == max;
}

std::optional<ReadResult> ReadTail::take(std::size_t max, std::optional<std::uint8_t> termChar,
                                         std::chrono::milliseconds slice, const Sink& sink,
                                         net::Deadline deadline, const Stop& stop) {
    ReadResult result;
    std::vector<std::uint8_t> got;
    std::optional<Clock::time_point> first;
    std::unique_lock lk(m_mutex);
    if (m_closed) {
        return std::nullopt;
    }
    ++m_readers;
    const auto leave = [&] {
        --m_readers;
        m_changed.notify_all();
    };
    for (;;) {
        takeKept(got, result, max, termChar);
        const auto now = Clock::now();
        if (!first && !got.empty()) {
            first = now;
        }
        if (got.empty() && !result.end && (m_closed || m_ended)) {
            leave();
            return std::nullopt;
        }
        const bool sliceOver = first && slice.count() > 0 && now - *first >= slice;
        if (result.end || result.termChar || result.countReached || m_closed || sliceOver) {
            break;
        }
        lk.unlock();
        const bool stopped = stop && stop();
        lk.lock();
        if (stopped || deadline.expired()) {
            result.outcome = stopped ? Outcome::Stopped : Outcome::TimedOut;
            break;
        }
        auto until = now + kStopLook;
        if (!deadline.isNever()) {
            until = std::min<Clock::time_point>(until, now + deadline.remaining());
        }
        if (first && slice.count() > 0) {
            until = std::min(until, *first + slice);
        }
        m_changed.wait_until(lk, until);
    }
    leave();
    lk.unlock();
    result.count = got.size();
    if (!got.empty()) {
        sink(got);
    }
    return result;
}

std::shared_ptr<ReadTail> ReadTails::open(const GpibAddress& address, std::size_t most) {
    auto tail = std::make_shared<ReadTail>(most);
    const std::lock_guard lk(m_mutex);
    m_open[keyOf(address)] = tail;
    return tail;
}

std::shared_ptr<ReadTail> ReadTails::find(const GpibAddress& address) {
    const std::lock_guard lk(m_mutex);
    const auto it = m_open.find(keyOf(address));
    return it == m_open.end() ? nullptr : it->second;
}

void ReadTails::remove(const GpibAddress& address, const std::shared_ptr<ReadTail>& tail) {
    const std::lock_guard lk(m_mutex);
    const auto it = m_open.find(keyOf(address));
    if (it != m_open.end() && it->second == tail) {
        m_open.erase(it);
    }
}

} // namespace gateway::adapter
