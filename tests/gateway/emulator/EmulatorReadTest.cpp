// Reads and polls: how each flavour ends a read, the per-byte time-out, the silent time-outs,
// the adapter held by a running read, streaming, serial polls and the listener search.

#include "FakeBus.h"

#include <gtest/gtest.h>

namespace gateway::emulator::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Reads : public ::testing::TestWithParam<Flavour> {};

INSTANTIATE_TEST_SUITE_P(BothFlavours, Reads, ::testing::Values(Flavour::Prologix, Flavour::Ar488));

TEST_P(Reads, ReadEoiEndsAtEndAndMarksItWhenAsked) {
    Adapter adapter(GetParam());
    adapter.bus.at(1).output = "A\nB";
    EXPECT_EQ(adapter("++eot_enable 1\n++eot_char 239\n++read eoi\n"), "A\nB\xEF");
    adapter.bus.at(1).output = "C";
    EXPECT_EQ(adapter("++eot_enable 0\n++read eoi\n"), "C");
}

TEST_P(Reads, ReadCharEndsAfterThatByteAndLeavesTheRest) {
    Adapter adapter(GetParam());
    adapter.bus.at(1).output = "12;34;";
    EXPECT_EQ(adapter("++read 59\n"), "12;");
    EXPECT_EQ(adapter("++read 59\n"), "34;");
}

TEST_P(Reads, TheTimeOutIsPerByteSoATricklingTalkerNeverTimesOut) {
    Adapter adapter(GetParam());
    FakeDevice& device = adapter.bus.at(1);
    device.output = "0123456789";
    device.trickle = 40ms;
    const auto start = Clock::now();
    EXPECT_EQ(adapter("++read_tmo_ms 150\n++read eoi\n"), "0123456789");
    EXPECT_GE(Clock::now() - start, 400ms);
}

TEST_P(Reads, ATimeOutSendsWhatCameAndNothingElse) {
    Adapter adapter(GetParam());
    FakeDevice& device = adapter.bus.at(1);
    device.output = "abc";
    device.endWithEoi = false;
    auto start = Clock::now();
    EXPECT_EQ(adapter("++read_tmo_ms 200\n++read eoi\n"), "abc");
    EXPECT_GE(Clock::now() - start, 200ms);
    // Nobody at the address: the whole time-out passes, in silence.
    start = Clock::now();
    EXPECT_EQ(adapter("++addr 9\n++read eoi\n"), "");
    EXPECT_GE(Clock::now() - start, 200ms);
}

TEST_P(Reads, HostInputWaitsUntilTheRunningReadEnds) {
    Adapter adapter(GetParam());
    FakeDevice& device = adapter.bus.at(1);
    device.output = "abc";
    device.trickle = 20ms;
    device.status = 0x40;
    EXPECT_EQ(adapter("++read eoi\n++srq\nX\n"), "abc1\r\n");
    EXPECT_EQ(device.received.substr(0, 1), "X");
}

TEST_P(Reads, ABlockStreamsToTheHostInPieces) {
    Adapter adapter(GetParam());
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(i * 13);
    }
    adapter.bus.at(1).output = block;
    EXPECT_EQ(adapter("++read eoi\n"), block);
    EXPECT_GE(adapter.host.sends, 16);
}

TEST(Ar488Reads, APlainReadEndsAtTheEorSequenceOrAtEndWhenEoiIsSet) {
    Adapter adapter(Flavour::Ar488);
    FakeDevice& device = adapter.bus.at(1);
    device.output = "1\r\n2\r\n";
    device.trickle = 1ms; // a sequence split across two bus reads still ends the read
    EXPECT_EQ(adapter("++read\n"), "1\r\n");
    device.trickle = 0ms;
    device.output = "2\n";
    const auto start = Clock::now();
    EXPECT_EQ(adapter("++read_tmo_ms 200\n++read\n"), "2\n");
    EXPECT_GE(Clock::now() - start, 200ms); // LF alone is not CR LF: on to the time-out
    device.output = "3\n";
    EXPECT_EQ(adapter("++eor 2\n++read\n"), "3\n");
    device.output = "4\r\n5";
    EXPECT_EQ(adapter("++eoi 1\n++read\n"), "4\r\n5");
}

TEST(Ar488Reads, ReadCanAddressItsTalker) {
    Adapter adapter(Flavour::Ar488);
    adapter.bus.at(5, 0).output = "S";
    adapter.bus.at(7).output = "P;Q";
    EXPECT_EQ(adapter("++read 5 96 eoi\n++read 7 59\n++addr\n"), "SP;1\r\n");
}

TEST(EmulatorAuto, ReadsTheAnswerAfterADataLine) {
    Adapter prologix(Flavour::Prologix);
    prologix.bus.at(1).replies["*IDN?"] = "ID\n";
    EXPECT_EQ(prologix("++auto 1\n*IDN?\n"), "ID\n");

    // An AR488's `++auto 2` reads only after a line that ends in '?'.
    Adapter ar488(Flavour::Ar488);
    ar488.bus.at(1).replies["*IDN?"] = "ID\r\n";
    EXPECT_EQ(ar488("++auto 2\n*RST\n"), "");
    EXPECT_EQ(ar488.bus.reads, 0);
    EXPECT_EQ(ar488("*IDN?\n"), "ID\r\n");
}

TEST(EmulatorPolls, PrologixPollsASecondaryAddress) {
    Adapter adapter(Flavour::Prologix);
    adapter.bus.at(5, 0).status = 0x41;
    EXPECT_EQ(adapter("++spoll 5 96\n++addr 5 96\n++spoll\n"), "65\r\n1\r\n");
}

TEST(EmulatorPolls, Ar488PollsPrimariesOnlyAndSaysNothingWhenNobodyAnswers) {
    Adapter adapter(Flavour::Ar488);
    adapter.bus.at(5).status = 2;
    adapter.bus.at(5, 0).status = 3;
    const auto start = Clock::now();
    EXPECT_EQ(adapter("++read_tmo_ms 100\n++spoll 9\n"), "");
    EXPECT_GE(Clock::now() - start, 100ms);
    EXPECT_EQ(adapter("++spoll 9 5\n++addr 5 96\n++spoll\n++spoll 5 96\n"), "2\r\n2\r\n");
}

TEST(EmulatorPolls, Ar488PollsEveryoneForTheFirstRequester) {
    Adapter adapter(Flavour::Ar488);
    adapter.bus.at(3).status = 1;
    adapter.bus.at(7).status = 0x42;
    adapter.bus.at(9).status = 0x40;
    EXPECT_EQ(adapter("++read_tmo_ms 1\n++srq\n++spoll all\n++allspoll\n++allspoll\n++srq\n"),
              "1\r\nSRQ:7,66\r\n\r\nSRQ:9,64\r\n\r\n\r\n0\r\n");
}

TEST(EmulatorPolls, Ar488FindsListenersSecondariesIncluded) {
    Adapter adapter(Flavour::Ar488);
    for (const auto& at : {std::pair{3, -1}, {9, 0}, {9, 5}, {12, -1}}) {
        adapter.bus.at(at.first, at.second);
    }
    EXPECT_EQ(adapter("++fndl all\n++fndl 1-9 12\n++read_tmo_ms\n"),
              "3,9:96,9:101,12\r\n3,9:96,9:101,12\r\n1200\r\n");
    // It runs under a read_tmo_ms of 35, and leaves it so when it does not end normally.
    EXPECT_EQ(adapter("++fndl 4\n++fndl foo\n++read_tmo_ms\n"), "\r\nInvalid parameter\r\n35\r\n");
}

} // namespace
} // namespace gateway::emulator::test
