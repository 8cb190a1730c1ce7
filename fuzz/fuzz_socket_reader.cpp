// Fuzzes the raw socket reader: the block-aware scanner and the buffer between the stream and
// the caller. The input chooses the terminator, block awareness, the caller's buffer sizes and
// how the stream is cut into pieces; the reads must match a plain reading of the whole stream,
// whatever the cuts, and never write past a caller's buffer.
//
// Input: [mode] [buffer-size seed] [cut seed] stream...

#include "FuzzCheck.h"

#include "net/TransportError.h"
#include "socket/SocketReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace {

using Term = std::optional<std::uint8_t>;

/// A small generator of piece and buffer sizes from a one-byte seed.
class Sizes {
public:
    Sizes(std::uint8_t seed, std::size_t whole) : m_seed(seed), m_whole(whole) {}
    std::size_t next() {
        m_state = m_state * 1103515245u + 12345u;
        return m_seed == 0 ? m_whole : 1 + (m_state >> 16) % (m_seed % 64 + 1);
    }

private:
    std::uint8_t m_seed;
    std::size_t m_whole;
    std::uint32_t m_state = 2654435761u;
};

/// Hands out the stream in pieces of the sizes `cuts` gives, at most what is asked for; a
/// time-out once it is all out.
class CutSource final : public rawsocket::ByteSource {
public:
    CutSource(std::span<const std::uint8_t> stream, std::uint8_t seed)
        : m_stream(stream), m_cuts(seed, stream.size()) {}
    std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline) override {
        FUZZ_CHECK(!out.empty());
        if (m_at == m_stream.size()) {
            throw net::TransportError(net::TransportError::Kind::Timeout);
        }
        const std::size_t n = std::min({out.size(), m_cuts.next(), m_stream.size() - m_at});
        std::memcpy(out.data(), m_stream.data() + m_at, n);
        m_at += n;
        return n;
    }

private:
    std::span<const std::uint8_t> m_stream;
    Sizes m_cuts;
    std::size_t m_at = 0;
};

bool isDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

/// Where replies end in the whole stream, found with look-ahead rather than a state machine.
/// A block or a string only begins a response data element: at a message's start, after `,`
/// or `;`, or after the blank that ends a header (blanks before an element allowed).
std::vector<bool> replyEnds(std::span<const std::uint8_t> s, Term term, bool aware) {
    std::vector<bool> ends(s.size(), false);
    bool elementStart = true;
    bool inHeader = true;
    std::size_t i = 0;
    while (i < s.size()) {
        const std::uint8_t c = s[i];
        const bool special = aware && elementStart;
        if (term && c == *term) {
            ends[i++] = true;
            elementStart = inHeader = true;
            continue;
        }
        if (c == ',' || c == ';') {
            elementStart = true;
            inHeader = c == ';';
            ++i;
            continue;
        }
        if (c == ' ' || c == '\t') {
            if (!elementStart && inHeader) {
                elementStart = true;
                inHeader = false;
            }
            ++i;
            continue;
        }
        elementStart = false;
        if (special && c == '"') {
            std::size_t close = i + 1;
            // A doubled quote stays inside the string.
            while (close < s.size() &&
                   (s[close] != '"' || (close + 1 < s.size() && s[close + 1] == '"'))) {
                close += s[close] == '"' ? 2 : 1;
            }
            i = close + 1;
        } else if (special && c == '#' && i + 1 < s.size() && s[i + 1] == '0') {
            break; // an indefinite block: nothing ends a reply any more
        } else if (special && c == '#' && i + 1 < s.size() && isDigit(s[i + 1])) {
            const std::size_t digits = s[i + 1] - '0';
            std::size_t j = i + 2;
            std::uint64_t length = 0;
            while (j < s.size() && j < i + 2 + digits && isDigit(s[j])) {
                length = length * 10 + (s[j++] - '0');
            }
            // A complete header skips its data; a bad digit is looked at again as text.
            i = j == i + 2 + digits ? j + static_cast<std::size_t>(length) : j;
        } else {
            ++i;
        }
    }
    return ends;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    static constexpr Term kTerms[] = {'\n', '\n', '\n', std::nullopt, ',', '#', '"', '5'};
    const Term term = kTerms[data[0] % 8];
    const bool aware = (data[0] & 0x08) == 0;
    Sizes bufferSizes(data[1], 4096);
    const std::span<const std::uint8_t> stream(data + 3, size - 3);

    const std::vector<bool> ends = replyEnds(stream, term, aware);
    CutSource source(stream, data[2]);
    rawsocket::SocketReader reader(aware);
    std::size_t at = 0;
    for (bool more = true; more;) {
        const std::size_t want = bufferSizes.next();
        // Exactly the caller's size, so a write past it is caught by the sanitizer.
        const auto buffer = std::make_unique<std::uint8_t[]>(want);
        library::ReadProgress progress;
        try {
            reader.read(source, {buffer.get(), want}, term, net::Deadline::never(), progress);
        } catch (const net::TransportError&) {
            more = false; // the stream is all out
        }
        FUZZ_CHECK(progress.count <= want && at + progress.count <= stream.size());
        FUZZ_CHECK(std::memcmp(buffer.get(), stream.data() + at, progress.count) == 0);
        std::size_t expected = 0;
        while (expected < want && at + expected < stream.size() && !ends[at + expected])
            ++expected;
        const bool endsHere = expected < want && at + expected < stream.size();
        if (more) {
            FUZZ_CHECK(progress.count == (endsHere ? expected + 1 : want));
            const std::int32_t reason = (endsHere ? rawsocket::kReasonChr : 0) |
                                        (progress.count == want ? rawsocket::kReasonReqCnt : 0);
            FUZZ_CHECK(progress.reason == reason);
        } else {
            FUZZ_CHECK(!endsHere && progress.count < want && at + progress.count == stream.size());
        }
        at += progress.count;
    }
    // After discard() the reader is as good as new, whatever state it was left in.
    reader.discard();
    static constexpr std::uint8_t kOk[] = {'O', 'K', '\n'};
    CutSource again(kOk, 1);
    std::uint8_t out[8];
    library::ReadProgress progress;
    reader.read(again, out, '\n', net::Deadline::never(), progress);
    FUZZ_CHECK(progress.count == 3 && progress.reason == rawsocket::kReasonChr);
    return 0;
}
