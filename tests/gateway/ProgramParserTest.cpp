// The instrument's program-message parser on its own: where messages end (LF, END, never inside
// a string or block data, wherever the bytes were cut), the units of a message, one message at
// a time, and what a device clear forgets.

#include "gateway/instrument/ProgramParser.h"

#include <gtest/gtest.h>

using namespace gateway;

namespace {

/// What the parser told, message by message.
struct Heard final : ProgramParser::Sink {
    void messageBegins() override { ++begun; }
    void messageEnds(const std::string& message, std::uint64_t blockBytes) override {
        messages.push_back(message);
        blocks.push_back(blockBytes);
    }
    void overrun() override { ++overruns; }

    int begun = 0;
    int overruns = 0;
    std::vector<std::string> messages;
    std::vector<std::uint64_t> blocks;
};

using Texts = std::vector<std::string>;

} // namespace

TEST(ProgramParser, AMessageSplitsIntoUnitsAtSemicolonsOutsideStrings) {
    ProgramParser parser(4096);
    Heard heard;
    parser.receive("*ese 32;:syst:err?; ;DISP:TEXT \"a;b?\",'c;''d'\t;*OPC\r\n", false, heard);
    ASSERT_EQ(heard.messages, Texts{"*ese 32;:syst:err?; ;DISP:TEXT \"a;b?\",'c;''d'\t;*OPC"});
    std::vector<ProgramUnit> units;
    ProgramParser::units(heard.messages[0], units);
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(units[0].header, "*ESE");
    EXPECT_EQ(units[0].args, "32");
    EXPECT_FALSE(units[0].query);
    EXPECT_EQ(units[1].header, "SYST:ERR?");
    EXPECT_TRUE(units[1].query);
    EXPECT_EQ(units[2].header, "DISP:TEXT");
    EXPECT_EQ(units[2].args, "\"a;b?\",'c;''d'");
    EXPECT_FALSE(units[2].query) << "a '?' in a string asks nothing";
    EXPECT_EQ(units[3].header, "*OPC");
}

TEST(ProgramParser, LineFeedsInStringsEndNothingAndEndEndsAMessageAnywhere) {
    ProgramParser parser(4096);
    Heard heard;
    parser.receive("A 'x\ny';B \"\n\"\nC", false, heard);
    EXPECT_EQ(heard.messages, Texts{"A 'x\ny';B \"\n\""});
    EXPECT_EQ(parser.pending(), "C");
    parser.receive("", true, heard);
    parser.receive("", true, heard); // nothing pending: no message
    parser.receive("D 'open\n", true, heard);
    parser.receive("E", true, heard);
    EXPECT_EQ(heard.messages, (Texts{"A 'x\ny';B \"\n\"", "C", "D 'open", "E"}));
    EXPECT_EQ(heard.begun, 4);
}

TEST(ProgramParser, BlockDataHoldsAnyBytesAndIsFoundWhereverTheFeedsAreCut) {
    // Ten bytes of block data with an LF, quotes, a '#' and a semicolon in them; an indefinite
    // block (#0) and a number (#H1F) have no length, so an LF ends them.
    const std::string data = "a\nb;\"'\n#1;";
    const std::string input = ":DATA #210" + data + ";*OPC?\n:X #0ab\n:Y #H1F\n*IDN?\n";
    const Texts messages{":DATA #210;*OPC?", ":X #0ab", ":Y #H1F", "*IDN?"};
    const std::vector<std::uint64_t> blocks{10, 0, 0, 0};
    for (std::size_t i = 0; i <= input.size(); ++i) {
        for (std::size_t j = i; j <= input.size(); ++j) {
            ProgramParser parser(4096);
            Heard heard;
            parser.receive(input.substr(0, i), false, heard);
            parser.receive(input.substr(i, j - i), false, heard);
            parser.receive(input.substr(j), false, heard);
            ASSERT_EQ(heard.messages, messages) << "cut at " << i << " and " << j;
            ASSERT_EQ(heard.blocks, blocks) << "cut at " << i << " and " << j;
        }
    }
    ProgramParser parser(4096);
    Heard heard;
    for (const char c : input) {
        parser.receive(std::string_view(&c, 1), false, heard);
    }
    EXPECT_EQ(heard.messages, messages) << "byte by byte";
}

TEST(ProgramParser, ReceiveOneStopsAfterTheFirstMessageThatEnds) {
    ProgramParser parser(4096);
    Heard heard;
    const std::string input = ":D #13a\nb\nNEXT\n";
    const std::size_t used = parser.receiveOne(input, false, heard);
    EXPECT_EQ(used, 10u) << "the block's LF does not end the message";
    EXPECT_EQ(heard.messages, Texts{":D #13"});
    EXPECT_EQ(parser.receiveOne(std::string_view(input).substr(used), false, heard), 5u);
    EXPECT_EQ(heard.messages, (Texts{":D #13", "NEXT"}));

    EXPECT_EQ(parser.receiveOne("A\nB", true, heard), 2u);
    EXPECT_EQ(parser.receiveOne("B", true, heard), 1u) << "END, given again, ends the rest";
    EXPECT_EQ(heard.messages, (Texts{":D #13", "NEXT", "A", "B"}));
}

TEST(ProgramParser, AMessageLongerThanTheInputQueueOverrunsHoweverItEnds) {
    ProgramParser parser(4);
    Heard heard;
    parser.receive("ABCD\n", false, heard);
    parser.receive("ABCD", true, heard);
    EXPECT_EQ(heard.messages, (Texts{"ABCD", "ABCD"})) << "as long as the queue: taken";
    EXPECT_EQ(parser.receiveOne("ABCDE", true, heard), 5u);
    EXPECT_EQ(heard.overruns, 1) << "END with the byte too many";
    EXPECT_EQ(heard.messages, (Texts{"ABCD", "ABCD"})) << "nothing of it is carried out";
    parser.receive("XY\n", false, heard);
    EXPECT_EQ(heard.messages, (Texts{"ABCD", "ABCD", "XY"}));
    EXPECT_EQ(heard.begun, 4);
}

TEST(ProgramParser, ClearForgetsTheMessageItsOpenStringAndItsBlock) {
    ProgramParser parser(4096);
    Heard heard;
    parser.receive(":D #15ab", false, heard);
    parser.clear();
    EXPECT_TRUE(parser.pending().empty());
    parser.receive("cd\n", false, heard);
    parser.receive("X 'ab", false, heard);
    parser.clear();
    parser.receive("c;d\n", false, heard);
    EXPECT_EQ(heard.messages, (Texts{"cd", "c;d"})) << "no block nor string left to end";
    EXPECT_EQ(heard.blocks, (std::vector<std::uint64_t>{0, 0}));
    EXPECT_EQ(heard.begun, 4) << "each message after a clear begins anew";
}
