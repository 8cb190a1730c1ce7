#pragma once
// The caller's side of an adapter read, run on the adapter's thread.

#include "gateway/adapter/AdapterLink.h"
#include "gateway/adapter/AdapterWorker.h"
#include "gateway/adapter/ReadTail.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace gateway::adapter {

/// The caller's side of a read, run on the worker: passes bytes on until the caller has its
/// count, its termination character or the end of the message, then answers it.
class ReadRouter final : public ReadConsumer {
public:
    ReadRouter(JobState& job, ReadResult& result, std::size_t max,
               std::optional<std::uint8_t> termChar, std::chrono::milliseconds slice)
        : m_job(job), m_result(result), m_max(max), m_termChar(termChar), m_slice(slice) {}

    bool abandoned() const override { return m_job.abandoned(); }
    bool satisfied() const override { return m_satisfied; }

    std::size_t offer(std::span<const std::uint8_t> bytes, bool end) override {
        std::size_t take = std::min(bytes.size(), m_max - m_result.count);
        bool atTermChar = false;
        if (m_termChar) {
            const auto stop = bytes.begin() + static_cast<std::ptrdiff_t>(take);
            const auto found = std::find(bytes.begin(), stop, *m_termChar);
            if (found != stop) {
                take = static_cast<std::size_t>(found - bytes.begin()) + 1;
                atTermChar = true;
            }
        }
        if (take > 0 && !m_job.push(bytes.first(take))) {
            // The caller left with what it had: the rest of the message is the next read's.
            m_satisfied = true;
            return 0;
        }
        if (take > 0 && !m_tail && m_tails != nullptr) {
            // Bytes are in the caller's hands: whenever it is answered or leaves with them,
            // the rest of the message is for the address's next reads, as it comes.
            m_tail = m_tails->open(m_address, m_most);
        }
        const auto now = std::chrono::steady_clock::now();
        if (m_result.count == 0 && take > 0) {
            m_first = now;
        }
        m_result.count += take;
        m_result.termChar = atTermChar;
        m_result.end = end && take == bytes.size();
        m_result.countReached = m_result.count == m_max;
        const bool sliceOver =
            m_slice.count() > 0 && m_result.count > 0 && now - m_first >= m_slice;
        if (m_result.end || m_result.termChar || m_result.countReached || sliceOver) {
            m_satisfied = true;
            m_job.answer(Outcome::Done);
        }
        return take;
    }

    bool follow(std::span<const std::uint8_t> bytes, bool end) override {
        return m_tail && m_tail->add(bytes, end);
    }

    /// Lets the rest of the message, after this caller was answered, go to `tails` (at most
    /// `most` bytes of it not yet taken).
    void followInto(ReadTails& tails, const GpibAddress& address, std::size_t most) {
        m_tails = &tails;
        m_address = address;
        m_most = most;
    }

    /// As the adapter's read ends: what nobody took of the rest is kept by the link for the
    /// address's next read.
    void finish(AdapterLink& link) {
        if (!m_tail) {
            return;
        }
        bool eoi = false;
        std::vector<std::uint8_t> rest = m_tail->close(eoi);
        m_tails->remove(m_address, m_tail);
        link.keep(m_address, std::move(rest), eoi);
    }

private:
    JobState& m_job;
    ReadResult& m_result;
    std::size_t m_max;
    std::optional<std::uint8_t> m_termChar;
    std::chrono::milliseconds m_slice;
    std::chrono::steady_clock::time_point m_first;
    bool m_satisfied = false;
    ReadTails* m_tails = nullptr;
    GpibAddress m_address;
    std::size_t m_most = 0;
    std::shared_ptr<ReadTail> m_tail;
};

} // namespace gateway::adapter
