#include "net/Deadline.h"

#include <limits>

namespace net {

using std::chrono::milliseconds;

milliseconds Deadline::remaining() const noexcept {
    if (!m_when) {
        return milliseconds::max();
    }
    const auto left = *m_when - Clock::now();
    if (left <= Clock::duration::zero()) {
        return milliseconds(0);
    }
    return std::chrono::ceil<milliseconds>(left);
}

int Deadline::pollTimeoutMs() const noexcept {
    if (!m_when) {
        return -1;
    }
    const auto left = remaining().count();
    return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                  : static_cast<int>(left);
}

Deadline Deadline::earlier(const Deadline& other) const noexcept {
    if (!m_when) {
        return other;
    }
    if (!other.m_when) {
        return *this;
    }
    return *m_when <= *other.m_when ? *this : other;
}

Deadline Deadline::extendedBy(milliseconds span) const noexcept {
    return m_when ? Deadline(*m_when + span) : Deadline();
}

} // namespace net
