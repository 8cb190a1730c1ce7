#include "cli/LoopStats.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace cli {

int LatencyStats::bucketOf(std::uint64_t us) noexcept {
    if (us < kExact) {
        return static_cast<int>(us);
    }
    const int octave = std::bit_width(us) - 1; // 10 and up
    const auto sub = static_cast<int>((us >> (octave - 6)) & (kPerOctave - 1));
    return std::min(kExact + (octave - 10) * kPerOctave + sub, kBuckets - 1);
}

double LatencyStats::middleOf(int bucket) noexcept {
    if (bucket < kExact) {
        return bucket + 0.5;
    }
    const int octave = (bucket - kExact) / kPerOctave + 10;
    const int sub = (bucket - kExact) % kPerOctave;
    const double width = std::ldexp(1.0, octave - 6);
    return std::ldexp(1.0, octave) + (sub + 0.5) * width;
}

void LatencyStats::add(std::chrono::nanoseconds duration) {
    const std::int64_t ns = std::max<std::int64_t>(duration.count(), 0);
    m_minNs = m_count == 0 ? ns : std::min(m_minNs, ns);
    m_maxNs = m_count == 0 ? ns : std::max(m_maxNs, ns);
    m_sumNs += static_cast<long double>(ns);
    ++m_count;
    ++m_buckets[static_cast<std::size_t>(bucketOf(static_cast<std::uint64_t>(ns / 1000)))];
}

double LatencyStats::minMs() const noexcept {
    return static_cast<double>(m_minNs) / 1e6;
}

double LatencyStats::maxMs() const noexcept {
    return static_cast<double>(m_maxNs) / 1e6;
}

double LatencyStats::meanMs() const noexcept {
    return m_count == 0 ? 0.0 : static_cast<double>(m_sumNs / m_count) / 1e6;
}

double LatencyStats::percentileMs(double fraction) const noexcept {
    if (m_count == 0) {
        return 0.0;
    }
    const auto rank = static_cast<std::uint64_t>(
        std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(m_count)));
    std::uint64_t seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
        seen += m_buckets[static_cast<std::size_t>(b)];
        if (seen >= std::max<std::uint64_t>(rank, 1)) {
            // A bucket's middle may lie outside what was seen; the true value cannot.
            return std::clamp(middleOf(b) / 1e3, minMs(), maxMs());
        }
    }
    return maxMs();
}

} // namespace cli
