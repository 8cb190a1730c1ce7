// The instrument model and its command table on their own.

#include "gateway/instrument/Instrument.h"

#include <algorithm>
#include <cctype>

#include <gtest/gtest.h>

using namespace gateway;
using namespace std::chrono_literals;

namespace {
std::string take(Instrument& i, std::size_t max, Clock::time_point now, bool& end) {
    std::string out(max, '\0');
    out.resize(i.takeOutput(std::span(reinterpret_cast<std::uint8_t*>(out.data()), out.size()),
                            std::nullopt, end, now));
    return out;
}
std::string takeAll(Instrument& i, Clock::time_point now) {
    bool end = false;
    return take(i, 1 << 20, now, end);
}
std::string waveform(std::uint64_t offset, std::size_t n) {
    std::string out(n, '\0');
    waveformBytes(offset, std::span(reinterpret_cast<std::uint8_t*>(out.data()), n));
    return out;
}
} // namespace

TEST(Instrument, ExecutesSeveralUnitsAndJoinsQueryAnswersWithSemicolons) {
    InstrumentConfig c;
    c.idn = "Maker,Model,1,1";
    c.queries = {{"VOLT?", "+5.0"}};
    Instrument i(c, 4096);
    const auto now = Clock::now();
    i.receive("*ese 32;*ESE?;volt?;:SYST:ERR?\n", false, now);
    EXPECT_EQ(takeAll(i, now), "32;+5.0;0,\"No error\"\n");
    i.receive("*IDN?\r\n", false, now);
    EXPECT_EQ(takeAll(i, now), "Maker,Model,1,1\n") << "CR before LF is not part of the command";
}

TEST(Instrument, NewMessageBeforeTheAnswerIsReadInterruptsTheQuery) {
    InstrumentConfig c;
    c.idn = "Maker,Model,1,1";
    Instrument i(c, 4096);
    const auto now = Clock::now();
    bool end = false;
    i.receive("*IDN?\n", false, now);
    EXPECT_EQ(take(i, 10, now, end), "Maker,Mode");
    i.receive("*OPC", false, now); // the first byte of a message interrupts, even in pieces
    i.receive("?\n*TST?\n", false, now);
    EXPECT_EQ(takeAll(i, now), "0\n") << "neither the old answer nor the unread one";
    i.receive("*ESR?;SYST:ERR?;SYST:ERR?;SYST:ERR?\n", false, now);
    EXPECT_EQ(takeAll(i, now),
              "4;-410,\"Query INTERRUPTED\";-410,\"Query INTERRUPTED\";0,\"No error\"\n");
}

TEST(Instrument, StringsKeepTheirSemicolonsQuestionMarksAndLineFeeds) {
    InstrumentConfig c;
    c.idn = "Maker,Model,1,1";
    c.queries = {{"VOLT?", "+5.0"}};
    Instrument i(c, 4096);
    const auto now = Clock::now();
    // One unit whose string holds ';', '?' and an LF: one undefined header, and no answer.
    i.receive("DISP:TEXT 'a;b?\nc';VOLT?\n", false, now);
    EXPECT_EQ(takeAll(i, now), "+5.0\n");
    i.receive("SYST:ERR?;SYST:ERR?\n", false, now);
    EXPECT_EQ(takeAll(i, now), "-113,\"Undefined header\";0,\"No error\"\n");
}

TEST(Instrument, ReceivesOneMessageAtATimeAndAnEmptyEndEndsTheMessage) {
    InstrumentConfig c;
    c.idn = "Maker,Model,1,1";
    Instrument i(c, 4096);
    const auto now = Clock::now();
    const std::string two = "*IDN?\n*OPC?\n";
    const std::size_t used = i.receiveOne(two, false, now);
    EXPECT_EQ(used, 6u);
    EXPECT_EQ(takeAll(i, now), "Maker,Model,1,1\n");
    EXPECT_EQ(i.receiveOne(std::string_view(two).substr(used), false, now), 6u);
    EXPECT_EQ(takeAll(i, now), "1\n") << "not interrupted: the first answer was taken";
    i.receive("*OPC?", false, now);
    EXPECT_TRUE(i.midMessage());
    i.receive("", true, now);
    EXPECT_EQ(takeAll(i, now), "1\n");
}

TEST(Instrument, ErrorQueueIsBoundedAndReportsOverflow) {
    Instrument i({}, 4096);
    const auto now = Clock::now();
    for (int n = 0; n < 15; ++n)
        i.receive("NOPE\n", false, now);
    EXPECT_EQ(i.snapshot(now).errorCount, 10u);
    for (int n = 0; n < 9; ++n) {
        i.receive("SYST:ERR?\n", false, now);
        EXPECT_EQ(takeAll(i, now), "-113,\"Undefined header\"\n");
    }
    i.receive("SYST:ERR?\n", false, now);
    EXPECT_EQ(takeAll(i, now), "-350,\"Queue overflow\"\n");
}

TEST(Instrument, QueuesStayWithinTheirLimit) {
    InstrumentConfig c;
    c.idn = std::string(100, 'x');
    Instrument i(c, 256);
    const auto now = Clock::now();
    i.receive(std::string(1000, 'a'), false, now);
    EXPECT_LE(i.snapshot(now).inputQueue.size(), 257u);
    for (int n = 0; n < 10; ++n)
        i.receive("*IDN?\n", false, now);
    EXPECT_LE(i.snapshot(now).outputQueueBytes, 256u);
}

TEST(Instrument, EsbRaisesServiceRequestWhenEnabled) {
    Instrument i({}, 4096);
    const auto now = Clock::now();
    i.receive("*ESE 32;*SRE 32\n", false, now);
    EXPECT_FALSE(i.requestingService(now));
    i.receive("BAD\n", false, now);
    EXPECT_TRUE(i.requestingService(now));
    EXPECT_EQ(i.serialPoll(now), 0x20 | 0x40 | 0x04);
    EXPECT_FALSE(i.requestingService(now));
    i.receive("*CLS\n", false, now);
    EXPECT_EQ(i.statusByte(now), 0);
}

TEST(Instrument, SlowAnswerIsNotReadableBeforeItsTime) {
    InstrumentConfig c;
    c.faults.answerDelay = 100ms;
    Instrument i(c, 4096);
    const auto now = Clock::now();
    i.receive("*OPC?\n", false, now);
    EXPECT_FALSE(i.hasOutput(now));
    EXPECT_EQ(i.statusByte(now) & 0x10, 0) << "no MAV yet";
    EXPECT_TRUE(i.hasOutput(now + 100ms));
}

TEST(Instrument, WaveformBlockIsMadeAsItIsReadAndHoldsNoMemory) {
    InstrumentConfig c;
    c.commands = waveformCommands();
    Instrument i(c, 4096);
    const auto now = Clock::now();
    i.receive(":WAV:POIN 5000;:wav:poin?\n", false, now);
    EXPECT_EQ(takeAll(i, now), "5000\n");
    i.receive(":WAV:POIN?;:WAVEFORM:DATA?;*OPC?\n", false, now);
    EXPECT_LT(i.snapshot(now).outputQueueBytes, 100u) << "the data is not held";
    std::string got;
    bool end = false;
    while (!end) {
        // Pieces that never line up with the parts of the answer or the waveform's period.
        const std::string piece = take(i, 777, now, end);
        ASSERT_FALSE(piece.empty());
        got += piece;
    }
    EXPECT_EQ(got, "5000;#45000" + waveform(0, 5000) + ";1\n");
    EXPECT_EQ(waveform(1021, 3), waveform(0, 1024).substr(1021)) << "pieces of one waveform";
    EXPECT_NE(waveform(1021, 1021), waveform(0, 1021)) << "each period differs from the last";

    for (const char* bad : {":WAV:POIN 0\n", ":WAV:POIN 268435457\n", ":WAV:POIN x\n"}) {
        i.receive(bad, false, now);
    }
    i.receive("WAV:POIN?;SYST:ERR?\n", false, now);
    EXPECT_EQ(takeAll(i, now), "5000;-222,\"Data out of range\"\n");
}

TEST(Instrument, BlockDataIsTakenWholeEvenAcrossWritesAndCounted) {
    InstrumentConfig c;
    c.commands = waveformCommands();
    Instrument i(c, 256);
    const auto now = Clock::now();
    // Newlines and '#' inside the data end nothing; the header itself may come in pieces.
    const std::string small = std::string(":DATA #2") + "10" + "ab\n#2\ncd\n\n" + "\n";
    for (std::size_t at = 0; at < small.size(); at += 3) {
        i.receive(small.substr(at, 3), false, now);
    }
    // A block far larger than the input queue, in write-sized pieces, END with the last byte.
    const std::string big = ":DATA #6100000" + std::string(100000, '\n');
    for (std::size_t at = 0; at < big.size(); at += 4096) {
        i.receive(big.substr(at, 4096), at + 4096 >= big.size(), now);
    }
    i.receive(":DATA:COUN?;SYST:ERR?\n", false, now);
    EXPECT_EQ(takeAll(i, now), "100010;0,\"No error\"\n");
}

TEST(CommandTable, EveryRowIsFoundByItsHeaderInAnyCaseAndEveryQueryAnswers) {
    InstrumentConfig config;
    config.idn = "Maker,Model,1,1";
    StatusModel status;
    OutputQueue output(4096);
    InstrumentSettings settings;
    for (const auto& rows :
         {std::vector(commonCommands().begin(), commonCommands().end()), waveformCommands()}) {
        for (const CommandRow& row : rows) {
            std::string lower = row.header;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            // A second row of the same header would never run.
            EXPECT_EQ(findCommand(rows, lower), &row) << row.header;
            ASSERT_NE(row.action, nullptr) << row.header;
            Reply reply;
            CommandContext context{"1", 0, config, status, output, settings, reply};
            row.action(context);
            const bool query = row.header.back() == '?';
            EXPECT_EQ(query, !reply.text.empty())
                << row.header << " answers \"" << reply.text << "\"";
        }
    }
}
