// Messages through the bridge: byte-exact both ways whatever their length, END exactly where
// the instrument put it, reads cut at the client's count or character with the rest kept,
// and a read that streams.

#include "BridgeFixture.h"

#include "gateway/instrument/InstrumentConfig.h"

namespace bridgetest {
namespace {

using namespace vxi11;

/// A program message of exactly `size` bytes: a header and a quoted string of every byte value
/// over and over (the instrument keeps a string's bytes as they are, a doubled quote being
/// one).
std::string quotedEveryByte(std::size_t size) {
    std::string message = "ECHO \"";
    for (std::size_t i = 0; message.size() + 1 < size; ++i) {
        const char c = static_cast<char>(i % 256);
        message += c;
        if (c == '"') {
            message += c;
        }
    }
    message.resize(size - 1);
    if (message.back() == '"' && message[message.size() - 2] != '"') {
        message.back() = 'x'; // a quote cut in half would end the string early
    }
    return message + '"';
}

TEST_P(Bridge, MessagesAreByteExactBothWaysAndALongWriteIsOneMessageWithOneEnd) {
    const std::int32_t lid = link("gpib0,7");
    // 100,000 bytes, every value among them, in two writes as a client cuts them at the
    // gateway's maxRecvSize: END goes with the last byte of the second only.
    const std::string message = quotedEveryByte(100000);
    const std::string_view whole(message);
    const auto first = write(lid, whole.substr(0, 65536), 0);
    const auto second = write(lid, whole.substr(65536), flags::kEnd);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->error, 0);
    EXPECT_EQ(second->error, 0);
    EXPECT_EQ(first->size + second->size, message.size());
    // One message, executed once it ended: a message cut by an early END would have been
    // executed as its first part, one never ended would still be waiting.
    const auto seen = sim().instrument(kBinaryPad);
    ASSERT_TRUE(seen.has_value());
    EXPECT_TRUE(seen->lastCommand == message)
        << "the instrument executed " << seen->lastCommand.size() << " bytes";
    EXPECT_EQ(seen->inputQueue, "");

    // Every byte value back, the adapter's end marker and a CR LF among them.
    EXPECT_EQ(query(lid, "BIN?\n"), everyByte() + "\n");

    // A megabyte block, made by the instrument as it is read.
    const std::int32_t scope = link("gpib0,9");
    ASSERT_EQ(write(scope, "WAV:POIN 1048576\n")->error, 0);
    const std::string block = query(scope, "WAV:DATA?\n");
    const std::string header = "#71048576";
    ASSERT_EQ(block.size(), header.size() + 1048576 + 1);
    std::string expected(1048576, '\0');
    gateway::waveformBytes(
        0, std::span(reinterpret_cast<std::uint8_t*>(expected.data()), expected.size()));
    EXPECT_EQ(block.substr(0, header.size()), header);
    EXPECT_TRUE(block.compare(header.size(), expected.size(), expected) == 0);
    EXPECT_EQ(block.back(), '\n');
}

TEST_P(Bridge, EndIsReportedIfAndOnlyIfTheInstrumentAssertedEoi) {
    const std::int32_t lid = link("gpib0,3");
    ASSERT_EQ(write(lid, "*OPC?\n")->error, 0);
    const auto ended = read(lid);
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->error, 0);
    EXPECT_EQ(ended->reason, reason::kEnd);
    EXPECT_EQ(std::string(ended->data.begin(), ended->data.end()), "1\n");

    gateway::InstrumentFaults noEnd;
    noEnd.noEnd = true;
    ASSERT_TRUE(sim().setInstrumentFaults(3, std::nullopt, noEnd));
    ASSERT_EQ(write(lid, "*OPC?\n")->error, 0);
    const auto unended = read(lid);
    ASSERT_TRUE(unended.has_value());
    EXPECT_EQ(unended->error, 0);
    EXPECT_EQ(unended->reason, 0) << "the answer came without EOI";
    EXPECT_EQ(std::string(unended->data.begin(), unended->data.end()), "1\n");
    const auto nothingMore = read(lid, 1 << 16, 500);
    ASSERT_TRUE(nothingMore.has_value());
    EXPECT_EQ(nothingMore->error, err::kIoTimeout);
    EXPECT_TRUE(nothingMore->data.empty());
}

TEST_P(Bridge, ReadsEndAtTheCountOrTheCharacterAndTheRestComesNext) {
    const std::int32_t scope = link("gpib0,9");
    ASSERT_EQ(write(scope, "*IDN?\n")->error, 0);
    std::string got;
    const auto cut = read(scope, 10);
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(cut->reason, reason::kReqCnt);
    got.append(cut->data.begin(), cut->data.end());
    const auto rest = read(scope);
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(rest->reason, reason::kEnd);
    got.append(rest->data.begin(), rest->data.end());
    EXPECT_EQ(got, "Quenby Measurement Systems Incorporated,QS-4054 Four Channel Digital Storage "
                   "Oscilloscope 500 MHz 5 GSa/s,QMS2024-0090417,FW 03.12.0045 build 2207\n");

    // The DMM ends its answers with CR LF: a read to CR stops there, the LF and END follow.
    const std::int32_t dmm = link("gpib0,22");
    ASSERT_EQ(write(dmm, "READ?\n")->error, 0);
    const auto toCr = read(dmm, 1 << 16, 2000, '\r');
    ASSERT_TRUE(toCr.has_value());
    EXPECT_EQ(toCr->reason, reason::kChr);
    EXPECT_EQ(std::string(toCr->data.begin(), toCr->data.end()), "+1.234567E+00\r");
    const auto lf = read(dmm, 1, 2000, '\n');
    ASSERT_TRUE(lf.has_value());
    EXPECT_EQ(lf->reason, reason::kReqCnt | reason::kChr | reason::kEnd);
    EXPECT_EQ(std::string(lf->data.begin(), lf->data.end()), "\n");
}

TEST_P(Bridge, ReadsHandOnTheBytesAsTheInstrumentSendsThem) {
    // One byte every 30 ms (well inside the adapter's per-byte time-out): the answer takes
    // half a second to come. The client has its first bytes long before, and each later read,
    // though the adapter is still in the one read it cannot leave, takes what came since
    // within its own short time-out, never "adapter busy".
    gateway::InstrumentFaults slow;
    slow.trickle = 30ms;
    ASSERT_TRUE(sim().setInstrumentFaults(3, std::nullopt, slow));
    const std::int32_t lid = link("gpib0,3");
    ASSERT_EQ(write(lid, "MEAS:FREQ?\n")->error, 0);
    std::string all;
    int reads = 0;
    for (bool end = false; !end && reads < 30; ++reads) {
        std::optional<DeviceReadResp> r;
        EXPECT_TRUE(endedBy(timed([&] { r = read(lid, 1000, 150); }), 150ms));
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->error, 0) << "read " << reads << " after " << all.size() << " bytes";
        EXPECT_FALSE(r->data.empty());
        end = (r->reason & reason::kEnd) != 0;
        all.append(r->data.begin(), r->data.end());
    }
    EXPECT_EQ(all, "+1.00000000E+07\n");
    EXPECT_GE(reads, 3);
}

INSTANTIATE_TEST_SUITE_P(EveryAdapter, Bridge, ::testing::ValuesIn(testsupport::allBridgeCases()),
                         testsupport::bridgeCaseName);

} // namespace
} // namespace bridgetest
