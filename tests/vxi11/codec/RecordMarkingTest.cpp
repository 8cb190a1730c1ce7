#include "vxi11/codec/RecordMarking.h"
#include "Hex.h"

#include <gtest/gtest.h>

using namespace vxi11;
using testhex::fromHex;
using Status = rpc::RecordReader::Status;

namespace {

// Feeds `stream` in pieces of `piece` bytes; returns the records read and whether the
// stream was found malformed.
struct FeedOutcome {
    std::vector<xdr::Bytes> records;
    bool malformed = false;
};

FeedOutcome feedInPieces(rpc::RecordReader& reader, const xdr::Bytes& stream, std::size_t piece) {
    FeedOutcome out;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t n = std::min(piece, stream.size() - pos);
        xdr::ByteView chunk(stream.data() + pos, n);
        while (!chunk.empty()) {
            const auto r = reader.feed(chunk);
            chunk = chunk.subspan(r.consumed);
            if (r.status == Status::Malformed) {
                out.malformed = true;
                return out;
            }
            if (r.status == Status::Complete)
                out.records.push_back(reader.takeRecord());
            else
                EXPECT_TRUE(chunk.empty());
        }
        pos += n;
    }
    return out;
}

} // namespace

TEST(RecordMarking, FramesOneFragmentWithTheLastBit) {
    EXPECT_EQ(rpc::frameRecord(fromHex("01020304 05")), fromHex("80000005 01020304 05"));
    EXPECT_EQ(rpc::frameRecord({}), fromHex("80000000"));
}

TEST(RecordMarking, SplitsIntoFragmentsOfTheGivenSize) {
    EXPECT_EQ(rpc::frameRecord(fromHex("0102030405"), 2),
              fromHex("00000002 0102 00000002 0304 80000001 05"));
}

TEST(RecordMarking, ReassemblesThreeFragmentsFedWholeBytewiseAndAtOddSplits) {
    const xdr::Bytes stream = fromHex("00000002 0102 00000000 80000003 030405 80000001 ff");
    for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{3}, std::size_t{7}}) {
        rpc::RecordReader reader(1024);
        const FeedOutcome out = feedInPieces(reader, stream, piece);
        ASSERT_FALSE(out.malformed) << "piece " << piece;
        ASSERT_EQ(out.records.size(), 2u) << "piece " << piece;
        EXPECT_EQ(out.records[0], fromHex("0102030405"));
        EXPECT_EQ(out.records[1], fromHex("ff"));
        EXPECT_FALSE(reader.inProgress());
    }
}

TEST(RecordMarking, RefusesARecordOverTheLimitBeforeReadingItsData) {
    // One fragment announcing more than the limit, and several that together exceed it.
    for (const char* hex : {"80000011", "00000008 0000000000000000 80000009"}) {
        rpc::RecordReader reader(16);
        const FeedOutcome out = feedInPieces(reader, fromHex(hex), 1);
        EXPECT_TRUE(out.malformed) << hex;
        EXPECT_EQ(reader.feed(fromHex("80000000")).status, Status::Malformed)
            << "stays broken until reset";
    }
    rpc::RecordReader reader(16);
    const FeedOutcome ok =
        feedInPieces(reader, fromHex("80000010 00000000000000000000000000000000"), 5);
    EXPECT_FALSE(ok.malformed);
    EXPECT_EQ(ok.records.size(), 1u);
}

TEST(RecordMarking, CapsTheNumberOfFragmentsInARecord) {
    rpc::RecordReader reader(1024, 3);
    const FeedOutcome out = feedInPieces(reader, fromHex("00000000 00000000 00000000 80000000"), 4);
    EXPECT_TRUE(out.malformed);
}

TEST(RecordMarking, ReportsAPartialRecordAsInProgress) {
    rpc::RecordReader reader(64);
    EXPECT_FALSE(reader.inProgress());
    const auto r = reader.feed(fromHex("800000"));
    EXPECT_EQ(r.status, Status::NeedMore);
    EXPECT_EQ(r.consumed, 3u);
    EXPECT_TRUE(reader.inProgress());
    reader.reset();
    EXPECT_FALSE(reader.inProgress());
}
