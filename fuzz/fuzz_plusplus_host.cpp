// Fuzzes what the simulator's `++` adapter makes of its host's bytes: lines, escapes, commands
// and AR488's 128-byte pieces. The same stream fed whole or cut anywhere must give the same
// lines, and a data piece is never longer than the adapter's buffer (AR488) nor are there more
// data bytes than came. (An escaped line end may stand inside a command, as in the adapter.)
//
// Input: [mode: flavour] [cut seed] stream...

#include "FuzzCheck.h"

#include "gateway/emulator/LineFramer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using gateway::emulator::Flavour;
using gateway::emulator::LineFramer;

/// Every line event, as text: "C<command>" or "D<piece>" with "|" after a line's last piece.
class Recorder final : public gateway::emulator::LineSink {
public:
    void command(std::string_view text) override { events.push_back("C" + std::string(text)); }
    void data(std::span<const std::uint8_t> piece, bool lineEnd) override {
        FUZZ_CHECK(!piece.empty());
        largest = std::max(largest, piece.size());
        total += piece.size();
        events.push_back("D" + std::string(piece.begin(), piece.end()) + (lineEnd ? "|" : ""));
    }
    std::vector<std::string> events;
    std::size_t largest = 0;
    std::size_t total = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const Flavour flavour = data[0] % 2 == 0 ? Flavour::Ar488 : Flavour::Prologix;
    const std::uint8_t cutSeed = data[1];
    const std::span<const std::uint8_t> stream(data + 2, size - 2);

    Recorder whole;
    LineFramer(flavour, whole).feed(stream);

    Recorder cut;
    LineFramer pieces(flavour, cut);
    std::uint32_t state = 2654435761u ^ cutSeed;
    for (std::size_t at = 0; at < stream.size();) {
        state = state * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + (state >> 16) % 40);
        pieces.feed(stream.subspan(at, n));
        at += n;
    }
    FUZZ_CHECK(whole.events == cut.events);
    FUZZ_CHECK(whole.total <= stream.size());
    if (flavour == Flavour::Ar488) {
        FUZZ_CHECK(whole.largest <= LineFramer::kAr488Buffer);
    }
    return 0;
}
