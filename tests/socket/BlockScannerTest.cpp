// The block-aware scanner as a pure unit: where a reply ends, fed whole, byte by byte and cut
// in two at every place.

#include "socket/BlockScanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using rawsocket::BlockScanner;

namespace {

constexpr std::size_t kNoEnd = std::string::npos;

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

/// Where the first reply of `s` ends (bytes up to and with its terminator), feeding the
/// scanner the pieces `cuts` makes; kNoEnd if it does not end.
std::size_t endOf(const std::string& s, std::optional<std::uint8_t> term, bool aware,
                  const std::vector<std::size_t>& cuts) {
    BlockScanner scanner(aware);
    std::size_t at = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : s.size();
        const auto piece = bytes(s).subspan(at, to - at);
        if (piece.empty()) {
            continue;
        }
        const BlockScanner::Step step = scanner.scan(piece, term);
        if (step.terminated) {
            return at + step.consumed;
        }
        EXPECT_EQ(step.consumed, piece.size()) << "a piece that does not end the reply is taken";
        at = to;
    }
    return kNoEnd;
}

struct Row {
    std::string text;
    std::size_t end;
    std::optional<std::uint8_t> term = '\n';
    bool aware = true;
};

} // namespace

TEST(BlockScanner, FindsTheEndOfAReplyHoweverTheBytesAreCut) {
    const std::string q = "\"";
    const std::vector<Row> rows{
        {"+1.5E-3\nNEXT\n", 8},
        // Definite blocks: the LF bytes inside are data; the LF after the block ends it.
        {"#15he\nlo\nX", 9},
        {"#210abcd\nefghi\n", 15},
        {"#10\n", 4}, // a block of no bytes
        {":CURV #14\n\n\n\n\n", 14},
        // Quoted strings hide the terminator and `#`; a doubled quote stays inside.
        {q + "a\nb" + q + q + "c\n#1" + q + "\n", 12},
        // An indefinite block has no end on a stream.
        {"#0ab\ncd\n", kNoEnd},
        // Not block headers: non-decimal numbers, a bad digit, a lone `#`.
        {"#H1F\n", 5},
        {"#B101\n", 6},
        {"#31a\n", 5},
        {"#3 1\n", 5},
        {"#\n", 2},
        // `#` and `"` inside an element are text: only an element's start begins a block or
        // a string (message start, after `,`, `;` or a header's blank).
        {"ACME,SN#21045,1,1\nX", 18},
        {"ACME,PANEL 7" + q + " LCD,1,1\nX", 22},
        {"CURV #15ab\ncd\n", 14},
        {"1,2,#15ab\ncd\n", 13},
        {"1, #15ab\ncd\n", 12},
        {"A;B #15ab\ncd\n", 13},
        {"ABC " + q + "x\ny" + q + "\n", 10},
        {"A B#15ab\ncd\n", 9},
        // Awareness off: the first terminator ends the reply wherever it stands.
        {"#15he\nlo\n", 6, '\n', false},
        {q + "a\nb" + q + "\n", 3, '\n', false},
        // Another terminator, and none at all.
        {"1,2\n", 2, ','},
        {"#13,,,,\n", 7, ','},
        {"abc\n", kNoEnd, std::nullopt},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(endOf(r.text, r.term, r.aware, {}), r.end);
        std::vector<std::size_t> everyByte;
        for (std::size_t i = 1; i < r.text.size(); ++i) {
            everyByte.push_back(i);
        }
        EXPECT_EQ(endOf(r.text, r.term, r.aware, everyByte), r.end);
        for (std::size_t cut = 1; cut < r.text.size(); ++cut) {
            EXPECT_EQ(endOf(r.text, r.term, r.aware, {cut}), r.end) << "cut at " << cut;
        }
    }
}
