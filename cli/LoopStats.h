#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace cli {

/// Durations of loop passes in fixed memory, so a loop of any length keeps its size: exact
/// count, minimum, maximum and mean; percentiles to 1 us below 1 ms and to 1/64 of the value
/// above.
class LatencyStats {
public:
    void add(std::chrono::nanoseconds duration);

    std::uint64_t count() const noexcept { return m_count; }
    double minMs() const noexcept;
    double maxMs() const noexcept;
    double meanMs() const noexcept;
    /// The duration below which `fraction` (0-1) of the passes lie, in ms; 0 with no pass.
    double percentileMs(double fraction) const noexcept;

private:
    static constexpr int kExact = 1024;   ///< microseconds counted one by one
    static constexpr int kPerOctave = 64; ///< buckets per doubling above that
    static constexpr int kOctaves = 32;
    static constexpr int kBuckets = kExact + kPerOctave * kOctaves;

    static int bucketOf(std::uint64_t us) noexcept;
    static double middleOf(int bucket) noexcept;

    std::array<std::uint64_t, kBuckets> m_buckets{};
    std::uint64_t m_count = 0;
    std::int64_t m_minNs = 0;
    std::int64_t m_maxNs = 0;
    long double m_sumNs = 0;
};

} // namespace cli
