// Fuzzes what a simulated instrument receives from any client: arbitrary bytes in writes with
// or without END, its answers taken now and then. The same writes are fed whole, cut into
// pieces, and cut into pieces fed one program message at a time (as the stream servers feed
// them); wherever the cuts fall, the instrument must take the same messages, give the same
// answers and end in the same state, and its queues must stay within their bound. Only RQS may
// differ: it follows the moments the status was looked at, which are the calls themselves.
//
// Input: [instrument] [cut seed] then writes, each [header] bytes... where the header's bit 7
// is END, bit 6 takes the answers after the write, and bits 0-5 the length (63: the rest).

#include "FuzzCheck.h"

#include "gateway/instrument/Instrument.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace {

using gateway::Instrument;

/// Small queues, so that overflows come soon.
constexpr std::size_t kMaxQueue = 256;
constexpr std::uint8_t kEndBit = 0x80;
constexpr std::uint8_t kTakeBit = 0x40;
constexpr std::uint8_t kLengthBits = 0x3F;

enum class Feed { Whole, Pieces, OneMessageAtATime };

struct Write {
    std::string_view bytes;
    bool end = false;
    bool take = false;
};

std::vector<Write> writesOf(std::string_view input) {
    std::vector<Write> writes;
    while (!input.empty()) {
        const auto header = static_cast<std::uint8_t>(input.front());
        input.remove_prefix(1);
        const std::size_t length = (header & kLengthBits) == kLengthBits
                                       ? input.size()
                                       : std::min<std::size_t>(header & kLengthBits, input.size());
        writes.push_back(
            {input.substr(0, length), (header & kEndBit) != 0, (header & kTakeBit) != 0});
        input.remove_prefix(length);
    }
    return writes;
}

/// Piece sizes from a one-byte seed.
class Cuts {
public:
    explicit Cuts(std::uint8_t seed) : m_span(seed % 32 + 1u) {}
    std::size_t next() {
        m_state = m_state * 1103515245u + 12345u;
        return 1 + (m_state >> 16) % m_span;
    }

private:
    std::uint32_t m_span;
    std::uint32_t m_state = 2654435761u;
};

/// The instrument after the writes, and the answers it gave, as text.
struct Outcome {
    gateway::InstrumentSnapshot state;
    std::string answers;
};

void feedPiece(Instrument& i, std::string_view piece, bool end, Feed how,
               gateway::Clock::time_point now) {
    if (how != Feed::OneMessageAtATime) {
        i.receive(piece, end, now);
        return;
    }
    do {
        const std::size_t used = i.receiveOne(piece, end, now);
        FUZZ_CHECK(used <= piece.size() && (used > 0 || piece.empty()));
        piece.remove_prefix(used);
    } while (!piece.empty());
}

void takeAnswers(Instrument& i, gateway::Clock::time_point now, std::string& answers) {
    for (;;) {
        gateway::AnswerBytes out;
        bool end = false;
        i.takeOutput(std::numeric_limits<std::uint64_t>::max(), out, end, now);
        if (out.size() == 0 && !end) {
            return;
        }
        // A waveform's data is made as it is sent: where it starts and how long it is tell.
        answers.append(out.head.begin(), out.head.end());
        answers +=
            "<" + std::to_string(out.madeOffset) + "+" + std::to_string(out.madeLength) + ">";
        answers.append(out.tail.begin(), out.tail.end());
        answers += end ? "|END|" : "|";
    }
}

Outcome run(const gateway::InstrumentConfig& config, const std::vector<Write>& writes,
            std::uint8_t cutSeed, Feed how) {
    const auto now = gateway::Clock::time_point{} + std::chrono::hours(1);
    Instrument i(config, kMaxQueue);
    Cuts cuts(cutSeed);
    Outcome out;
    for (const Write& w : writes) {
        if (how == Feed::Whole || w.bytes.empty()) {
            feedPiece(i, w.bytes, w.end, how, now);
        } else {
            for (std::string_view rest = w.bytes; !rest.empty();) {
                const std::string_view piece = rest.substr(0, cuts.next());
                rest.remove_prefix(piece.size());
                feedPiece(i, piece, w.end && rest.empty(), how, now);
            }
        }
        if (w.take) {
            takeAnswers(i, now, out.answers);
        }
        const gateway::InstrumentSnapshot s = i.snapshot(now);
        FUZZ_CHECK(s.inputQueue.size() <= kMaxQueue && s.lastCommand.size() <= kMaxQueue);
        FUZZ_CHECK(s.outputQueueBytes <= kMaxQueue);
    }
    out.state = i.snapshot(now);
    out.state.statusByte &= static_cast<std::uint8_t>(~0x40); // RQS
    return out;
}

bool sameOutcome(const Outcome& a, const Outcome& b) {
    const gateway::InstrumentSnapshot& x = a.state;
    const gateway::InstrumentSnapshot& y = b.state;
    return a.answers == b.answers && x.inputQueue == y.inputQueue &&
           x.lastCommand == y.lastCommand && x.outputQueueBytes == y.outputQueueBytes &&
           x.statusByte == y.statusByte && x.eventStatus == y.eventStatus &&
           x.errorCount == y.errorCount && x.triggerCount == y.triggerCount &&
           x.clearCount == y.clearCount && x.acceptedBytes == y.acceptedBytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    static const std::vector<gateway::InstrumentConfig> instruments = [] {
        std::vector<gateway::InstrumentConfig> all = gateway::demoBench();
        all.push_back(gateway::demoLanInstrument());
        return all;
    }();
    const gateway::InstrumentConfig& config = instruments[data[0] % instruments.size()];
    const std::vector<Write> writes =
        writesOf(std::string_view(reinterpret_cast<const char*>(data + 2), size - 2));
    const Outcome whole = run(config, writes, data[1], Feed::Whole);
    FUZZ_CHECK(sameOutcome(whole, run(config, writes, data[1], Feed::Pieces)));
    FUZZ_CHECK(sameOutcome(whole, run(config, writes, data[1], Feed::OneMessageAtATime)));
    return 0;
}
