// The host's bytes as lines: escapes, line ends, what makes a command, the data line's
// terminator and END, and how a long line reaches the bus on each flavour.

#include "FakeBus.h"

#include <gtest/gtest.h>

namespace gateway::emulator::test {
namespace {

class Framing : public ::testing::TestWithParam<Flavour> {};

INSTANTIATE_TEST_SUITE_P(BothFlavours, Framing,
                         ::testing::Values(Flavour::Prologix, Flavour::Ar488));

TEST_P(Framing, EveryByteValueReachesTheBusThroughItsEscapes) {
    Adapter adapter(GetParam());
    FakeDevice& device = adapter.bus.at(1);
    std::string all;
    std::string needed;    // ESC before CR, LF, ESC and '+' only
    std::string everyByte; // ESC before each byte: the adapter keeps the byte after any ESC
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        all += c;
        needed += (c == '\r' || c == '\n' || c == '\x1b' || c == '+') ? std::string("\x1b") + c
                                                                      : std::string(1, c);
        everyByte += std::string("\x1b") + c;
    }
    // No terminator and no END: an AR488's 128-byte pieces join into one stream.
    EXPECT_EQ(adapter("++eos 3\n++eoi 0\n" + needed + "\n" + everyByte + "\n"), "");
    EXPECT_EQ(device.received, all + all);
}

TEST_P(Framing, LinesEndAtCrOrLfAndEmptyLinesAreDropped) {
    Adapter adapter(GetParam());
    FakeDevice& device = adapter.bus.at(1);
    EXPECT_EQ(adapter("++eos 2\r\n++eoi 1\r\na\rb\nc\r\n\r\n\n"), "");
    EXPECT_EQ(device.received, "a\nb\nc\n");
    EXPECT_EQ(device.endsAt, (std::vector<std::size_t>{2, 4, 6}));
}

TEST_P(Framing, OnlyTwoUnescapedPlusSignsStartACommand) {
    Adapter adapter(GetParam());
    FakeDevice& device = adapter.bus.at(1);
    EXPECT_EQ(adapter("++eos 2\n\x1b++ver\n+\x1b+ver\n+x\n+\n"), "");
    EXPECT_EQ(device.received, "++ver\n++ver\n+x\n+\n");
}

TEST_P(Framing, EosAppendsItsTerminatorOnTheBus) {
    const std::pair<const char*, const char*> cases[] = {
        {"0", "\r\n"}, {"1", "\r"}, {"2", "\n"}, {"3", ""}};
    for (const auto& [eos, terminator] : cases) {
        Adapter adapter(GetParam());
        FakeDevice& device = adapter.bus.at(1);
        adapter(std::string("++eoi 1\n++eos ") + eos + "\nX\n");
        EXPECT_EQ(device.received, std::string("X") + terminator) << "eos " << eos;
        EXPECT_EQ(device.endsAt.size(), 1u);
    }
}

TEST(Ar488Framing, ALongLineGoesInPiecesOfOneBufferEachWithTerminatorAndEnd) {
    Adapter adapter(Flavour::Ar488);
    FakeDevice& device = adapter.bus.at(1);
    adapter("++eoi 1\n" + std::string(300, 'x') + "\n" + std::string(128, 'y') + "\n");
    EXPECT_EQ(device.received, std::string(128, 'x') + "\r\n" + std::string(128, 'x') + "\r\n" +
                                   std::string(44, 'x') + "\r\n" + std::string(128, 'y') + "\r\n");
    EXPECT_EQ(device.endsAt, (std::vector<std::size_t>{130, 260, 306, 436}));

    // With nothing appended and no END the pieces join; END needs a short line sent with eoi 1.
    Adapter joined(Flavour::Ar488);
    FakeDevice& stream = joined.bus.at(1);
    joined("++eos 3\n" + std::string(300, 'z') + "\n++eoi 1\nz\n");
    EXPECT_EQ(stream.received, std::string(301, 'z'));
    EXPECT_EQ(stream.endsAt, (std::vector<std::size_t>{301}));
}

TEST(PrologixFraming, ALongLineIsOneMessageWithEndOnItsLastByte) {
    Adapter adapter(Flavour::Prologix);
    FakeDevice& device = adapter.bus.at(1);
    std::string block(100000, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(i * 7);
    }
    std::string escaped;
    for (const char c : block) {
        if (c == '\r' || c == '\n' || c == '\x1b' || c == '+') {
            escaped += '\x1b';
        }
        escaped += c;
    }
    adapter("++eoi 1\n++eos 3\n" + escaped + "\n");
    EXPECT_EQ(device.received, block);
    EXPECT_EQ(device.endsAt, (std::vector<std::size_t>{block.size()}));
}

} // namespace
} // namespace gateway::emulator::test
