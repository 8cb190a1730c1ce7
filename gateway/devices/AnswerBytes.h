#pragma once
// Bytes of an answer as a read takes them from a device: bytes held, and a stretch that is
// made only as it is sent (a simulated waveform is a function of its offset alone), so that
// an answer of any size takes no memory on its way through a server.

#include <cstdint>
#include <span>
#include <vector>

namespace gateway {

/// Writes bytes [offset, offset + out.size()) of a stretch made on demand.
using ByteMaker = void (*)(std::uint64_t offset, std::span<std::uint8_t> out);

/// `head`, then `madeLength` bytes that `maker` makes from `madeOffset` on, then `tail`.
struct AnswerBytes {
    std::vector<std::uint8_t> head;
    ByteMaker maker = nullptr;
    std::uint64_t madeOffset = 0; ///< where the made stretch starts
    std::uint64_t madeLength = 0;
    std::vector<std::uint8_t> tail;

    std::uint64_t size() const { return head.size() + madeLength + tail.size(); }
    /// The byte at `i` (< size()), for a look at the last one.
    std::uint8_t at(std::uint64_t i) const {
        if (i < head.size()) {
            return head[i];
        }
        i -= head.size();
        if (i < madeLength) {
            std::uint8_t byte = 0;
            maker(madeOffset + i, std::span(&byte, 1));
            return byte;
        }
        return tail[i - madeLength];
    }
    /// Empties it, keeping the memory of `head` and `tail`.
    void reset() {
        head.clear();
        maker = nullptr;
        madeOffset = 0;
        madeLength = 0;
        tail.clear();
    }
};

} // namespace gateway
