// Fuzzes what the `++` adapter driver makes of bytes it does not control: the adapter's reply
// lines and every parser that reads them, the framing that finds where a read ends, and the
// command bytes a client asks to send.
//
// Input: [selector] [seed] bytes...
//   selector 0: the bytes as adapter replies, cut into pieces by the seed; every line parsed.
//   selector 1: the bytes as the stream of one read, fed in pieces with gaps chosen by the
//               seed; what comes out must be the stream less its end.
//   selector 2: the bytes as GPIB command bytes to plan.

#include "FuzzCheck.h"

#include "gateway/adapter/CommandBytes.h"
#include "gateway/adapter/PlusPlusCodec.h"
#include "gateway/adapter/ReadFramer.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace gateway::adapter;
using namespace std::chrono_literals;

/// Piece sizes (and gaps) from a one-byte seed.
class Cuts {
public:
    explicit Cuts(std::uint8_t seed) : m_seed(seed) {}
    std::size_t next() {
        m_state = m_state * 1103515245u + 12345u;
        return 1 + (m_state >> 16) % (m_seed % 32 + 1);
    }

private:
    std::uint8_t m_seed;
    std::uint32_t m_state = 2654435761u;
};

void parseLine(const std::string& line) {
    FUZZ_CHECK(line.size() <= kMaxReplyLine);
    flavourOfVersion(line);
    errorLineOf(line);
    if (const auto n = parseSmallNumber(line, 255)) {
        FUZZ_CHECK(*n >= 0 && *n <= 255 && std::to_string(*n).size() <= line.size());
    }
    if (const auto found = parseListeners(line)) {
        for (const GpibAddress& a : *found) {
            FUZZ_CHECK(isValid(a));
        }
        FUZZ_CHECK(found->empty() == line.empty());
    }
}

void replies(std::span<const std::uint8_t> bytes, std::uint8_t seed) {
    LineSplitter splitter;
    Cuts cuts(seed);
    std::size_t lines = 0;
    while (!bytes.empty()) {
        const std::size_t piece = std::min(cuts.next(), bytes.size());
        std::span<const std::uint8_t> rest = bytes.first(piece);
        while (!rest.empty()) {
            const std::size_t used = splitter.feed(rest);
            FUZZ_CHECK(used >= 1 && used <= rest.size());
            rest = rest.subspan(used);
            if (const auto line = splitter.take()) {
                parseLine(*line);
                ++lines;
            }
        }
        bytes = bytes.subspan(piece);
    }
    FUZZ_CHECK(!splitter.take()); // a line is taken once
    (void)lines;
}

void readStream(std::span<const std::uint8_t> stream, std::uint8_t seed) {
    constexpr std::uint8_t kMarker = 0xFE;
    ReadFramer framer(kMarker, 100ms, 50ms);
    Cuts cuts(seed);
    auto now = ReadFramer::Clock::time_point{} + 1h;
    std::vector<std::uint8_t> data;
    std::size_t fed = 0;
    while (fed < stream.size() && !framer.ended()) {
        const std::size_t piece = std::min(cuts.next(), stream.size() - fed);
        now += std::chrono::milliseconds((cuts.next() % 4) * 40);
        framer.settle(now, data);
        if (framer.ended()) {
            break;
        }
        framer.feed(stream.subspan(fed, piece), now, data);
        fed += piece;
    }
    framer.settle(now + 1h, data);
    // What came out is the stream as fed, less its end: the reply, and the marker before it
    // when EOI ended the read; or less at most the four bytes held back when it did not end.
    FUZZ_CHECK(data.size() <= fed && std::equal(data.begin(), data.end(), stream.begin()));
    const std::size_t tail = fed - data.size();
    if (!framer.ended()) {
        FUZZ_CHECK(tail <= 4);
        return;
    }
    const std::size_t expected = ReadFramer::kSentinelReply.size() + (framer.eoi() ? 1 : 0);
    FUZZ_CHECK(tail == expected);
    FUZZ_CHECK(!framer.eoi() || stream[data.size()] == kMarker);
}

void commandBytes(std::span<const std::uint8_t> bytes) {
    const auto plan = planCommandBytes(bytes);
    if (!plan) {
        return;
    }
    FUZZ_CHECK(!bytes.empty());
    for (const BusAction& action : *plan) {
        FUZZ_CHECK(isValid(action.address));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::span<const std::uint8_t> rest(data + 2, size - 2);
    switch (data[0] % 3) {
    case 0:
        replies(rest, data[1]);
        break;
    case 1:
        readStream(rest, data[1]);
        break;
    default:
        commandBytes(rest);
        break;
    }
    return 0;
}
