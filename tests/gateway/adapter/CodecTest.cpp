#include "gateway/adapter/AdapterPlace.h"
#include "gateway/adapter/CommandBytes.h"
#include "gateway/adapter/PlusPlusCodec.h"

#include "support/CountingNew.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace gateway::adapter {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

/// The adapter's reading of what the host sent: each command line as it is, each data line as
/// "data N" (its length once unescaped), the data lines' bytes joined in `data`.
std::vector<std::string> walk(const Bytes& text, Bytes& data) {
    std::vector<std::string> steps;
    Bytes line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == kEsc && i + 1 < text.size()) {
            line.push_back(text[++i]);
        } else if (text[i] == '\n') {
            const std::string s(line.begin(), line.end());
            if (s.rfind("++", 0) == 0) {
                steps.push_back(s);
            } else {
                steps.push_back("data " + std::to_string(line.size()));
                data.insert(data.end(), line.begin(), line.end());
            }
            line.clear();
        } else {
            line.push_back(text[i]);
        }
    }
    return steps;
}

TEST(PlusPlusCodec, EscapesCrLfEscAndPlusAndNothingElse) {
    const Bytes example = {0x00, 0x01, 0x02, 0x0D, 0x03, 0x0A, 0x04, 0x1B, 0x05, 0x2B, 0x06};
    Bytes escaped;
    appendEscaped(example, escaped);
    EXPECT_EQ(escaped, (Bytes{0x00, 0x01, 0x02, 0x1B, 0x0D, 0x03, 0x1B, 0x0A, 0x04, 0x1B, 0x1B,
                              0x05, 0x1B, 0x2B, 0x06}));

    Bytes all(256);
    for (int b = 0; b < 256; ++b) {
        all[b] = static_cast<std::uint8_t>(b);
    }
    escaped.clear();
    appendEscaped(all, escaped);
    EXPECT_EQ(escaped.size(), 260u);
    escaped.push_back('\n');
    Bytes data;
    EXPECT_EQ(walk(escaped, data), std::vector<std::string>{"data 256"})
        << "no byte of the message may end its line";
    EXPECT_EQ(data, all);
}

TEST(PlusPlusCodec, LongMessageIsLinesOfOnePieceWithEndOnTheLastLineOnly) {
    Bytes message(300, 'x');
    message[127] = '\n'; // escaped: a line's length counts the message's bytes, not the escapes
    message[128] = '+';
    const EncodedWrite w = encodeWrite(message, true, kAr488Piece, true);
    Bytes data;
    EXPECT_EQ(walk(w.text, data),
              (std::vector<std::string>{"++eoi 0", "data 128", "data 128", "++eoi 1", "data 44"}));
    EXPECT_EQ(data, message);
    EXPECT_EQ(w.dataEnds, (std::vector<std::size_t>{128, 256, 300}));
    EXPECT_EQ(w.lineEnds.back(), w.text.size());
    EXPECT_TRUE(w.eoiAfter);
}

TEST(PlusPlusCodec, AMessageOfManyLinesIsEncodedInOnePass) {
    // 782 lines of an AR488's pieces: room made line by line would copy the text so far again
    // for each line, some 40 MB for this message.
    Bytes message(100000);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i);
    }
    testsupport::startCountingAllocations();
    const EncodedWrite w = encodeWrite(message, true, kAr488Piece, true);
    EXPECT_LT(testsupport::stopCountingAllocations().bytes, 2 * w.text.size());
    Bytes data;
    EXPECT_EQ(walk(w.text, data).size(), 2 + w.lineEnds.size());
    EXPECT_EQ(data, message);
}

TEST(PlusPlusCodec, EoiIsChangedOnlyWhereItMust) {
    const Bytes message = bytesOf("*IDN?\n");
    const auto asText = [](const EncodedWrite& w) {
        return std::string(w.text.begin(), w.text.end());
    };
    EXPECT_EQ(asText(encodeWrite(message, true, 1000, true)), "*IDN?\x1b\n\n");
    EXPECT_EQ(asText(encodeWrite(message, true, 1000, std::nullopt)), "++eoi 1\n*IDN?\x1b\n\n");
    const EncodedWrite open = encodeWrite(message, false, 1000, true);
    EXPECT_EQ(asText(open), "++eoi 0\n*IDN?\x1b\n\n");
    EXPECT_FALSE(open.eoiAfter);
    EXPECT_TRUE(encodeWrite({}, true, 128, true).text.empty());
}

TEST(PlusPlusCodec, CommandsNameSecondariesByTheirByteValue) {
    EXPECT_EQ(addressCommand({9, std::nullopt}), "++addr 9\n");
    EXPECT_EQ(addressCommand({9, 0}), "++addr 9 96\n");
    EXPECT_EQ(serialPollCommand({30, 30}), "++spoll 30 126\n");
}

TEST(PlusPlusCodec, ReplyLinesAreCutAtLfWithTheirCrDroppedAndBounded) {
    LineSplitter s;
    const Bytes stream = bytesOf("1\r\n22\nrest");
    std::size_t used = s.feed(stream);
    EXPECT_EQ(used, 3u);
    EXPECT_EQ(s.take(), "1");
    EXPECT_FALSE(s.take());
    used += s.feed(std::span(stream).subspan(used));
    EXPECT_EQ(s.take(), "22");
    s.feed(std::span(stream).subspan(used));
    EXPECT_FALSE(s.take()) << "a line without its LF is not a line yet";

    s.reset();
    Bytes flood(kMaxReplyLine * 3, 'A');
    flood.push_back('\n');
    s.feed(flood);
    const auto line = s.take();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->size(), kMaxReplyLine);
    EXPECT_TRUE(s.overlong());
}

TEST(PlusPlusCodec, RepliesAreReadStrictly) {
    EXPECT_EQ(flavourOfVersion("Prologix GPIB-ETHERNET Controller version 01.06.06.00"),
              Flavour::Prologix);
    EXPECT_EQ(flavourOfVersion("AR488 GPIB controller, ver. 0.53.04, 13/04/2025"), Flavour::Ar488);
    EXPECT_EQ(flavourOfVersion("my bench adapter"), Flavour::Auto);

    EXPECT_EQ(parseSmallNumber("255", 255), 255);
    EXPECT_EQ(parseSmallNumber("0", 1), 0);
    for (const char* bad : {"", "256", "1 ", " 1", "-1", "0x1", "1000", "1a"}) {
        EXPECT_FALSE(parseSmallNumber(bad, 255)) << bad;
    }

    EXPECT_EQ(errorLineOf("Unrecognized command"), ErrorLine::Unrecognized);
    EXPECT_EQ(errorLineOf("Transmit failed!"), ErrorLine::TransmitFailed);
    EXPECT_EQ(errorLineOf("Unrecognized command "), ErrorLine::None);

    const auto found = parseListeners("5,22,9:96,30:126");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (std::vector<GpibAddress>{{5, {}}, {22, {}}, {9, 0}, {30, 30}}));
    EXPECT_EQ(parseListeners(""), std::vector<GpibAddress>{});
    for (const char* bad :
         {"5,", ",5", "5,,6", "31", "9:95", "9:127", "5 22", "9:", "Missing parameter"}) {
        EXPECT_FALSE(parseListeners(bad)) << bad;
    }
}

TEST(AdapterPlace, PathsAreSerialAndEverythingElseTcpOnPort1234UnlessGiven) {
    const auto serial = parseAdapterPlace("/dev/serial/by-id/usb-x");
    ASSERT_TRUE(serial);
    EXPECT_EQ(serial->kind, AdapterPlace::Kind::Serial);
    EXPECT_EQ(serial->path, "/dev/serial/by-id/usb-x");

    struct Row {
        const char* text;
        const char* host;
        std::uint16_t port;
    };
    for (const Row& row : {Row{"gpib-lan", "gpib-lan", 1234}, Row{"10.0.0.5:23", "10.0.0.5", 23},
                           Row{"[::1]", "::1", 1234}, Row{"[fe80::2]:8488", "fe80::2", 8488}}) {
        const auto tcp = parseAdapterPlace(row.text);
        ASSERT_TRUE(tcp) << row.text;
        EXPECT_EQ(tcp->kind, AdapterPlace::Kind::Tcp);
        EXPECT_EQ(tcp->host, row.host);
        EXPECT_EQ(tcp->port, row.port);
    }
    for (const char* bad :
         {"", "::1", "[::1", "[]", "host:", "host:0", "host:65536", "host:x", "[::1]x", "a b"}) {
        EXPECT_FALSE(parseAdapterPlace(bad)) << bad;
    }
}

TEST(CommandBytes, KnownSequencesBecomeAdapterActionsAndOthersNothing) {
    using K = BusAction::Kind;
    struct Row {
        Bytes bytes;
        std::optional<std::vector<BusAction>> plan;
    };
    const std::vector<Row> rows = {
        {{0x3F, 0x25, 0x04}, std::vector<BusAction>{{K::Clear, {5, {}}}}},
        {{0x3F, 0x25, 0x27, 0x08},
         std::vector<BusAction>{{K::Trigger, {5, {}}}, {K::Trigger, {7, {}}}}},
        {{0x3F, 0x29, 0x63, 0x01}, std::vector<BusAction>{{K::Local, {9, 3}}}},
        {{0x18, 0x45, 0x19}, std::vector<BusAction>{{K::Poll, {5, {}}}}},
        {{0x11, 0x14}, std::vector<BusAction>{{K::Lockout, {}}, {K::UniversalClear, {}}}},
        {{0x3F, 0x5F}, std::vector<BusAction>{{K::Unlisten, {}}, {K::Untalk, {}}}},
        {{0x3F, 0x2A}, std::vector<BusAction>{{K::Target, {10, {}}}}},
        {{0x05}, std::nullopt},       // PPC
        {{0x09}, std::nullopt},       // TCT
        {{0x3F, 0x04}, std::nullopt}, // SDC to nobody
        {{0x65}, std::nullopt},       // a secondary with no address
        {{0x25, 0x27}, std::nullopt}, // two listeners left addressed
        {{0x18, 0x45}, std::nullopt}, // a poll never ended
        {{}, std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(planCommandBytes(row.bytes), row.plan) << ::testing::PrintToString(row.bytes);
    }
}

} // namespace
} // namespace gateway::adapter
