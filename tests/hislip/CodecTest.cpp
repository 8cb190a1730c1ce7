#include "hislip/codec/Message.h"
#include "hislip/codec/MessageReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace hislip;
using Status = MessageReader::Status;
using Problem = MessageReader::Problem;

namespace {

Bytes hex(std::initializer_list<int> bytes) {
    Bytes out;
    for (int b : bytes) {
        out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
}

std::span<const std::uint8_t> text(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

/// What a reader made of a stream: one line per event, a Data payload taken as it came.
struct Event {
    Status status;
    Header header;
    Problem problem;
    Bytes payload;
    bool operator==(const Event&) const = default;
};

/// Feeds `stream` in pieces of `piece` bytes (0: whole), taking streamed Data payloads through
/// takeData, until the stream ends or breaks.
std::vector<Event> readAll(MessageReader reader, std::span<const std::uint8_t> stream,
                           std::size_t piece) {
    std::vector<Event> events;
    std::size_t at = 0;
    while (at < stream.size()) {
        std::span<const std::uint8_t> chunk = stream.subspan(
            at, piece == 0 ? stream.size() - at : std::min(piece, stream.size() - at));
        at += chunk.size();
        while (!chunk.empty()) {
            if (reader.dataLeft() > 0) {
                Bytes& into = events.back().payload;
                const std::size_t before = into.size();
                into.resize(before + chunk.size());
                const std::size_t n = reader.takeData(chunk, std::span(into).subspan(before));
                into.resize(before + n);
                chunk = chunk.subspan(n);
                continue;
            }
            const MessageReader::Result r = reader.feed(chunk);
            chunk = chunk.subspan(r.consumed);
            if (r.status == Status::NeedMore) {
                continue;
            }
            const Bytes payload(reader.payload().begin(), reader.payload().end());
            events.push_back(Event{r.status, reader.header(), reader.problem(),
                                   r.status == Status::Message ? payload : Bytes{}});
            if (r.status == Status::Malformed) {
                return events;
            }
        }
    }
    return events;
}

MessageReader::Limits clientLimits(std::uint64_t maxData = 1 << 20) {
    return {maxData, 1024, maxData, true};
}

} // namespace

TEST(HislipCodec, GoldenBytes) {
    EXPECT_EQ(initialize(kProtocolVersion, vendorId('Z', 'Z'), "hislip0"),
              hex({0x48, 0x53, 0x00, 0x00, 0x01, 0x00, 0x5A, 0x5A, 0,    0,    0,   0,
                   0,    0,    0,    0x07, 0x68, 0x69, 0x73, 0x6C, 0x69, 0x70, 0x30}));
    EXPECT_EQ(data(true, 0, kFirstMessageId, text("*IDN?\n")),
              hex({0x48, 0x53, 0x07, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0,    0,    0,
                   0,    0,    0,    0,    0x06, 0x2A, 0x49, 0x44, 0x4E, 0x3F, 0x0A}));
    EXPECT_EQ(asyncMaximumMessageSize(1 << 20),
              hex({0x48, 0x53, 0x0F, 0x00, 0, 0, 0, 0, 0,    0,    0,    0,
                   0,    0,    0,    0x08, 0, 0, 0, 0, 0x00, 0x10, 0x00, 0x00}));
    // The fields that carry something in their control code or parameter.
    EXPECT_EQ(asyncStatusQuery(true, kNoMessageId),
              hex({0x48, 0x53, 21, 0x01, 0xFF, 0xFF, 0xFE, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(asyncLockRequest(3000, "k"),
              hex({0x48, 0x53, 4, 1, 0, 0, 0x0B, 0xB8, 0, 0, 0, 0, 0, 0, 0, 1, 'k'}));
    EXPECT_EQ(initializeResponse(true, kProtocolVersion, 0xBEEF),
              hex({0x48, 0x53, 1, 1, 0x01, 0x00, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(dataHeader(false, 0, 0x01020304, 0x0102030405060708ull),
              (HeaderBytes{0x48, 0x53, 6, 0, 1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(HislipCodec, EveryMessageReadsBackWhateverTheCuts) {
    const Bytes big(70000, 0x5A);
    Bytes stream;
    const std::vector<Bytes> messages = {
        initialize(kProtocolVersion, 0x1234, "hislip0"),
        fatalError(fatalCode::kBadHeader, "poorly formed"),
        data(false, 1, 0xFFFFFF02, big),
        data(true, 0, 0xFFFFFF02, {}),
        asyncLockInfoResponse(true, 2),
        asyncServiceRequest(0x50),
        trigger(true, 6),
    };
    for (const Bytes& m : messages) {
        stream.insert(stream.end(), m.begin(), m.end());
    }
    const std::vector<Event> whole = readAll(MessageReader(clientLimits()), stream, 0);
    ASSERT_EQ(whole.size(), messages.size());
    EXPECT_EQ(whole[0].header.parameter, 0x01001234u);
    EXPECT_EQ(whole[0].payload, Bytes(text("hislip0").begin(), text("hislip0").end()));
    EXPECT_EQ(whole[1].status, Status::Message);
    EXPECT_EQ(whole[2].status, Status::Data);
    EXPECT_EQ(whole[2].payload, big); // taken into the caller's memory, not collected
    EXPECT_EQ(whole[3].header.type, MessageType::DataEnd);
    EXPECT_EQ(whole[5].header.control, 0x50);
    for (const std::size_t piece : {1, 3, 15, 16, 17, 4097}) {
        EXPECT_EQ(readAll(MessageReader(clientLimits()), stream, piece), whole) << piece;
    }
    // Collected instead of streamed, the Data payload is the same.
    MessageReader::Limits collect = clientLimits();
    collect.streamData = false;
    const std::vector<Event> collected = readAll(MessageReader(collect), stream, 7);
    ASSERT_EQ(collected.size(), messages.size());
    EXPECT_EQ(collected[2].status, Status::Message);
    EXPECT_EQ(collected[2].payload, big);
    const Bytes sizeMessage = asyncMaximumMessageSizeResponse(99);
    EXPECT_EQ(decodeMaximumMessageSize(std::span(sizeMessage).subspan(kHeaderSize)), 99u);
    EXPECT_FALSE(decodeMaximumMessageSize(text("1234567")).has_value());
}

TEST(HislipCodec, BadHeadersAreJudgedBeforeAnyPayloadIsKept) {
    struct Case {
        const char* name;
        Bytes stream;
        Status status;
        Problem problem;
    };
    auto withLength = [](MessageType type, std::uint64_t length) {
        const HeaderBytes h = encodeHeader(Header{type, 0, 0, length});
        return Bytes(h.begin(), h.end());
    };
    Bytes prologue = asyncStatusResponse(0);
    prologue[1] = 'X';
    const std::vector<Case> cases = {
        {"no HS", prologue, Status::Malformed, Problem::BadPrologue},
        {"reserved type", withLength(static_cast<MessageType>(42), 3), Status::Refused,
         Problem::ReservedType},
        {"reserved type, huge", withLength(static_cast<MessageType>(42), 1ull << 40),
         Status::Malformed, Problem::ReservedType},
        {"vendor type", withLength(static_cast<MessageType>(200), 5), Status::Refused,
         Problem::VendorType},
        {"data over the maximum", withLength(MessageType::DataEnd, 4097), Status::Malformed,
         Problem::TooLarge},
        {"2^63 claim", withLength(MessageType::Data, 1ull << 63), Status::Malformed,
         Problem::TooLarge},
        {"error text over its limit", withLength(MessageType::Error, 2000), Status::Refused,
         Problem::TooLarge},
        {"error text over 4 GiB", withLength(MessageType::Error, 1ull << 32), Status::Malformed,
         Problem::TooLarge},
    };
    for (const Case& c : cases) {
        for (const std::size_t piece : {0, 1, 5}) {
            SCOPED_TRACE(std::string(c.name) + " in pieces of " + std::to_string(piece));
            MessageReader reader(clientLimits(4096));
            // Only the header is given: the verdict may not wait for the payload.
            const std::vector<Event> events = readAll(reader, std::span(c.stream).first(16), piece);
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].status, c.status);
            EXPECT_EQ(events[0].problem, c.problem);
            EXPECT_TRUE(events[0].payload.empty());
        }
    }
}

TEST(HislipCodec, ARefusedMessageIsSkippedAndTheNextReadNormally) {
    Bytes stream = encodeMessage(Header{static_cast<MessageType>(130), 7, 0, 0}, text("vendor"));
    const Bytes next = asyncStatusResponse(0x42);
    stream.insert(stream.end(), next.begin(), next.end());
    for (const std::size_t piece : {0, 1, 9}) {
        const std::vector<Event> events = readAll(MessageReader(clientLimits()), stream, piece);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].status, Status::Refused);
        EXPECT_EQ(events[1].status, Status::Message);
        EXPECT_EQ(events[1].header.control, 0x42);
    }
    // A broken reader stays broken until reset.
    MessageReader reader(clientLimits());
    Bytes bad = next;
    bad[0] = 'X';
    EXPECT_EQ(reader.feed(bad).status, Status::Malformed);
    EXPECT_EQ(reader.feed(next).status, Status::Malformed);
    reader.reset();
    EXPECT_EQ(reader.feed(next).status, Status::Message);
}
