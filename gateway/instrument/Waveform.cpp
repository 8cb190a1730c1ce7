#include "gateway/instrument/InstrumentConfig.h"

#include <array>
#include <cmath>
#include <cstring>

namespace gateway {

namespace {

/// Bytes in one period of the waveform: a prime, so that no power-of-two piece lines up with it.
constexpr std::size_t kPeriod = 1021;
constexpr double kMidLevel = 127.5;
constexpr double kAmplitude = 100.0;

/// Bytes handled as one by the generator (a vector of the compiler's, on any target).
using Chunk = std::uint8_t __attribute__((vector_size(32)));

const std::array<std::uint8_t, kPeriod>& period() {
    static const std::array<std::uint8_t, kPeriod> table = [] {
        std::array<std::uint8_t, kPeriod> t{};
        const double step = 2 * std::acos(-1.0) / static_cast<double>(kPeriod);
        for (std::size_t i = 0; i < kPeriod; ++i) {
            t[i] = static_cast<std::uint8_t>(
                std::lround(kMidLevel + kAmplitude * std::sin(step * static_cast<double>(i))));
        }
        return t;
    }();
    return table;
}

} // namespace

void waveformBytes(std::uint64_t offset, std::span<std::uint8_t> out) {
    const auto& table = period();
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t at = offset + done;
        const auto phase = static_cast<std::size_t>(at % kPeriod);
        const auto number = static_cast<std::uint8_t>(at / kPeriod);
        const std::size_t n = std::min(kPeriod - phase, out.size() - done);
        std::uint8_t* to = out.data() + done;
        const std::uint8_t* from = table.data() + phase;
        // Thirty-two bytes at a time: a block of 256 MiB is made near memory speed.
        Chunk pattern;
        std::memset(&pattern, number, sizeof pattern);
        std::size_t k = 0;
        for (; k + sizeof(Chunk) <= n; k += sizeof(Chunk)) {
            Chunk chunk;
            std::memcpy(&chunk, from + k, sizeof chunk);
            chunk ^= pattern;
            std::memcpy(to + k, &chunk, sizeof chunk);
        }
        for (; k < n; ++k) {
            to[k] = static_cast<std::uint8_t>(from[k] ^ number);
        }
        done += n;
    }
}

} // namespace gateway
