#pragma once
// Shared by the two HiSLIP reader fuzz targets (client and server limits): the events a
// MessageReader gives for a stream cut anywhere must equal a plain reading of the whole stream,
// header by header, with the same limits.

#include "FuzzCheck.h"

#include "hislip/codec/MessageReader.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace fuzz {

using hislip::Bytes;
using hislip::MessageReader;

struct HislipEvent {
    MessageReader::Status status;
    hislip::Header header;
    MessageReader::Problem problem;
    Bytes payload; ///< collected, or taken from a streamed Data
    bool operator==(const HislipEvent&) const = default;
};

/// Reads the stream the obvious way: a whole header, its verdict, its whole payload.
inline std::vector<HislipEvent> referenceRead(std::span<const std::uint8_t> s,
                                              const MessageReader::Limits& limits) {
    using Status = MessageReader::Status;
    using Problem = MessageReader::Problem;
    std::vector<HislipEvent> out;
    std::size_t pos = 0;
    while (s.size() - pos >= hislip::kHeaderSize) {
        const auto header = hislip::decodeHeader(s.subspan(pos).first<hislip::kHeaderSize>());
        pos += hislip::kHeaderSize;
        if (!header) {
            out.push_back({Status::Malformed, {}, Problem::BadPrologue, {}});
            return out;
        }
        const bool dataLike =
            hislip::isData(header->type) || hislip::isVendorSpecific(header->type);
        const std::uint64_t limit = dataLike ? limits.maxData : limits.maxControl;
        Problem problem = Problem::None;
        if (hislip::isReserved(header->type)) {
            problem = Problem::ReservedType;
        } else if (hislip::isVendorSpecific(header->type)) {
            problem = Problem::VendorType;
        } else if (header->length > limit) {
            problem = Problem::TooLarge;
        }
        if (problem != Problem::None && header->length > limits.maxSkip) {
            out.push_back({Status::Malformed, *header, problem, {}});
            return out;
        }
        const bool streamed =
            problem == Problem::None && hislip::isData(header->type) && limits.streamData;
        const Status status = problem != Problem::None ? Status::Refused
                              : streamed               ? Status::Data
                                                       : Status::Message;
        if (status == Status::Message && s.size() - pos < header->length) {
            return out; // a message is an event only once it is whole
        }
        HislipEvent e{status, *header, problem, {}};
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(header->length, s.size() - pos));
        if (status != Status::Refused) {
            e.payload.assign(s.begin() + static_cast<std::ptrdiff_t>(pos),
                             s.begin() + static_cast<std::ptrdiff_t>(pos + n));
        }
        out.push_back(std::move(e));
        pos += n;
    }
    return out;
}

/// Feeds `s` to a reader in pieces drawn from `seed`, taking streamed payloads with
/// takeData; checks the reader's own promises on the way.
inline std::vector<HislipEvent> cutRead(std::span<const std::uint8_t> s,
                                        const MessageReader::Limits& limits, std::uint8_t seed) {
    using Status = MessageReader::Status;
    MessageReader reader(limits);
    std::vector<HislipEvent> out;
    std::uint32_t state = seed * 2654435761u + 1;
    std::size_t pos = 0;
    while (pos < s.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t cut = seed == 0 ? s.size() : 1 + (state >> 16) % (seed % 64 + 1);
        std::span<const std::uint8_t> piece = s.subspan(pos, std::min(cut, s.size() - pos));
        pos += piece.size();
        while (!piece.empty()) {
            if (reader.dataLeft() > 0) {
                Bytes& into = out.back().payload;
                const std::size_t before = into.size();
                into.resize(before + piece.size());
                const std::size_t n = reader.takeData(piece, std::span(into).subspan(before));
                FUZZ_CHECK(n > 0 && n <= piece.size());
                into.resize(before + n);
                piece = piece.subspan(n);
                continue;
            }
            const MessageReader::Result r = reader.feed(piece);
            FUZZ_CHECK(r.consumed <= piece.size());
            piece = piece.subspan(r.consumed);
            if (r.status == Status::NeedMore) {
                FUZZ_CHECK(piece.empty());
                continue;
            }
            const auto payload = reader.payload();
            // Nothing is kept beyond the limit that applies, whatever the header claimed.
            FUZZ_CHECK(payload.size() <= std::max(limits.maxData, limits.maxControl));
            out.push_back(
                {r.status,
                 r.status == Status::Malformed &&
                         reader.problem() == MessageReader::Problem::BadPrologue
                     ? hislip::Header{}
                     : reader.header(),
                 reader.problem(),
                 r.status == Status::Message ? Bytes(payload.begin(), payload.end()) : Bytes{}});
            if (r.status == Status::Malformed) {
                FUZZ_CHECK(reader.feed(s.subspan(pos)).status == Status::Malformed);
                return out;
            }
        }
    }
    return out;
}

/// The whole property for one input: [limits selector] [cut seed] stream...
inline void checkHislipReader(const std::uint8_t* data, std::size_t size,
                              MessageReader::Limits limits) {
    static constexpr std::uint64_t kData[] = {0, 16, 1024, 1 << 20};
    static constexpr std::uint64_t kControl[] = {0, 8, 256, 4096};
    limits.maxData = kData[data[0] % 4];
    limits.maxControl = kControl[(data[0] >> 2) % 4];
    if (limits.maxSkip < limits.maxData) {
        limits.maxSkip = limits.maxData; // the client skips vendor messages within its limit
    }
    const std::span<const std::uint8_t> stream(data + 2, size - 2);
    const std::vector<HislipEvent> expected = referenceRead(stream, limits);
    const std::vector<HislipEvent> got = cutRead(stream, limits, data[1]);
    // A streamed Data payload cut short by the end of the input is as far as it came.
    FUZZ_CHECK(got == expected);
}

} // namespace fuzz
