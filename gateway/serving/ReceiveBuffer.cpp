#include "gateway/serving/ReceiveBuffer.h"

#include <mutex>

namespace gateway {

namespace {

/// The large buffers of the process: how many are lent, and one kept for the next borrower (a
/// client that writes one block after another takes no page faults for each).
class LargeBuffers {
public:
    static LargeBuffers& instance() {
        static LargeBuffers buffers;
        return buffers;
    }

    std::unique_ptr<std::uint8_t[]> borrow() {
        const std::lock_guard lk(m_mutex);
        if (m_lent == ReceiveBuffer::kLargeAtOnce) {
            return nullptr;
        }
        ++m_lent;
        if (m_spare) {
            return std::move(m_spare);
        }
        // Not zeroed: a receive writes what it reports.
        return std::make_unique_for_overwrite<std::uint8_t[]>(ReceiveBuffer::kLarge);
    }

    void giveBack(std::unique_ptr<std::uint8_t[]> buffer) noexcept {
        const std::lock_guard lk(m_mutex);
        --m_lent;
        if (!m_spare) {
            m_spare = std::move(buffer);
        }
    }

private:
    std::mutex m_mutex;
    std::size_t m_lent = 0;
    std::unique_ptr<std::uint8_t[]> m_spare;
};

} // namespace

ReceiveBuffer::ReceiveBuffer() : m_small(std::make_unique_for_overwrite<std::uint8_t[]>(kSmall)) {}

ReceiveBuffer::~ReceiveBuffer() {
    giveBack();
}

void ReceiveBuffer::giveBack() noexcept {
    if (m_large) {
        LargeBuffers::instance().giveBack(std::move(m_large));
    }
}

std::span<std::uint8_t> ReceiveBuffer::space() {
    if (m_last < kSmall) {
        giveBack(); // a stream that has ended, or never was
    } else if (!m_large) {
        m_large = LargeBuffers::instance().borrow();
    }
    if (m_large) {
        return {m_large.get(), kLarge};
    }
    return {m_small.get(), kSmall};
}

} // namespace gateway
