// Fuzzes the record reader that both the client and the simulator put between the socket and
// the RPC decoders. The input chooses the limits and how the stream is cut into pieces; the
// records read must match a plain reference reading of the same stream, whatever the cuts.
//
// Input: [limit selector] [fragment limit] [cut seed] stream...

#include "FuzzCheck.h"

#include "vxi11/codec/RecordMarking.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using vxi11::xdr::Bytes;
using vxi11::xdr::ByteView;
using Reader = vxi11::rpc::RecordReader;

struct Outcome {
    std::vector<Bytes> records;
    bool malformed = false;
    bool partial = false; ///< bytes of an unfinished record left at the end
};

// Reads the stream the obvious way: whole headers and fragments, limits checked at each header.
Outcome reference(ByteView s, std::size_t maxRecord, std::size_t maxFragments) {
    Outcome out;
    Bytes current;
    std::size_t fragments = 0;
    std::size_t pos = 0;
    while (pos < s.size()) {
        if (s.size() - pos < 4) {
            out.partial = true;
            return out;
        }
        const std::uint32_t word = vxi11::xdr::loadBe32(s.data() + pos);
        pos += 4;
        const std::size_t length = word & vxi11::rpc::kFragmentLengthMask;
        ++fragments;
        if (current.size() + length > maxRecord || fragments > maxFragments) {
            out.malformed = true;
            return out;
        }
        if (s.size() - pos < length) {
            out.partial = true;
            return out;
        }
        current.insert(current.end(), s.begin() + static_cast<std::ptrdiff_t>(pos),
                       s.begin() + static_cast<std::ptrdiff_t>(pos + length));
        pos += length;
        if ((word & vxi11::rpc::kLastFragment) != 0) {
            out.records.push_back(std::move(current));
            current.clear();
            fragments = 0;
        }
    }
    out.partial = fragments > 0;
    return out;
}

// Feeds `s` to `reader` in pieces whose sizes come from a small generator seeded by `seed`.
Outcome readInPieces(Reader& reader, ByteView s, std::uint8_t seed) {
    Outcome out;
    std::uint32_t state = seed * 2654435761u + 1;
    std::size_t pos = 0;
    while (pos < s.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t cut = seed == 0 ? s.size() : 1 + (state >> 16) % (seed % 64 + 1);
        ByteView piece = s.subspan(pos, std::min(cut, s.size() - pos));
        pos += piece.size();
        while (!piece.empty()) {
            const Reader::Result r = reader.feed(piece);
            FUZZ_CHECK(r.consumed <= piece.size());
            piece = piece.subspan(r.consumed);
            if (r.status == Reader::Status::Malformed) {
                out.malformed = true;
                // A broken reader stays broken and takes nothing more.
                FUZZ_CHECK(reader.feed(s.subspan(pos)).status == Reader::Status::Malformed);
                return out;
            }
            if (r.status == Reader::Status::Complete) {
                FUZZ_CHECK(r.consumed > 0);
                out.records.push_back(reader.takeRecord());
            } else {
                FUZZ_CHECK(piece.empty());
            }
        }
    }
    out.partial = reader.inProgress();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    static constexpr std::size_t kLimits[] = {0, 1, 4, 16, 100, 4096, 65536, std::size_t{1} << 20};
    const std::size_t maxRecord = kLimits[data[0] % 8];
    const std::size_t maxFragments = data[1] % 8 == 0 ? 4096 : data[1] % 8;
    const std::uint8_t seed = data[2];
    const ByteView stream(data + 3, size - 3);

    const Outcome expected = reference(stream, maxRecord, maxFragments);
    Reader reader(maxRecord, maxFragments);
    const Outcome got = readInPieces(reader, stream, seed);
    FUZZ_CHECK(got.malformed == expected.malformed);
    FUZZ_CHECK(got.records == expected.records);
    if (!expected.malformed)
        FUZZ_CHECK(got.partial == expected.partial);

    // Every record read frames and reads back unchanged, also cut into small fragments.
    for (const Bytes& record : got.records) {
        const Bytes framed = vxi11::rpc::frameRecord(record, 1 + seed % 7);
        Reader again(record.size(), 4096);
        const Reader::Result r = again.feed(framed);
        FUZZ_CHECK(r.status == Reader::Status::Complete && r.consumed == framed.size());
        FUZZ_CHECK(again.takeRecord() == record);
    }

    // After reset() the reader is as good as new, whatever state it was left in.
    reader.reset();
    static constexpr std::uint8_t kSmall[] = {0x80, 0, 0, 1, 0x42};
    if (maxRecord >= 1 && maxFragments >= 1) {
        const Reader::Result r = reader.feed(kSmall);
        FUZZ_CHECK(r.status == Reader::Status::Complete && r.consumed == sizeof kSmall);
        FUZZ_CHECK(reader.takeRecord() == Bytes{0x42});
    }
    return 0;
}
