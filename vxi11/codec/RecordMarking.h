#pragma once
// ONC RPC record marking on stream transports: a record is one or more fragments, each with a
// 4-byte header (bit 31 = last fragment, bits 0-30 = length).

#include "vxi11/codec/Xdr.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vxi11::rpc {

/// Header bit that marks the last fragment of a record.
constexpr std::uint32_t kLastFragment = 0x80000000u;
/// Mask of the fragment length in a fragment header.
constexpr std::uint32_t kFragmentLengthMask = 0x7FFFFFFFu;

/// What a fragment header (the record mark) says.
struct RecordMark {
    std::uint32_t length = 0; ///< data bytes in the fragment, at most kFragmentLengthMask
    bool last = false;        ///< the fragment ends its record
};

/// The four bytes of a fragment header: the only place a record mark is put together.
constexpr std::array<std::uint8_t, 4> encodeRecordMark(RecordMark mark) {
    std::array<std::uint8_t, 4> header{};
    xdr::storeBe32(header.data(), mark.length | (mark.last ? kLastFragment : 0u));
    return header;
}

/// Reads a fragment header.
constexpr RecordMark decodeRecordMark(std::span<const std::uint8_t, 4> header) {
    const std::uint32_t word = xdr::loadBe32(header.data());
    return {word & kFragmentLengthMask, (word & kLastFragment) != 0};
}

/// Frames `body` as one record: header(s) and data in one buffer, ready for a single write.
/// Fragments carry at most `maxFragment` bytes each (at least 1).
xdr::Bytes frameRecord(xdr::ByteView body, std::size_t maxFragment = kFragmentLengthMask);

/// Incremental reader of records from a byte stream. Feed it whatever arrived; it consumes
/// bytes up to the end of one record and says whether the record is complete. The record size
/// limit is enforced while fragments accumulate, so an announced length alone cannot make it
/// allocate beyond the limit.
class RecordReader {
public:
    enum class Status {
        Complete, ///< a whole record is ready: take it with takeRecord()
        NeedMore, ///< all bytes given were consumed; the record is not finished
        Malformed ///< the stream broke a limit; framing is lost, close the connection
    };
    struct Result {
        Status status;
        std::size_t consumed; ///< bytes of the input used (the rest belongs to later records)
    };

    /// `maxRecordSize` caps the data of one record; `maxFragments` caps the fragments in it.
    explicit RecordReader(std::size_t maxRecordSize, std::size_t maxFragments = 4096)
        : m_maxRecord(maxRecordSize), m_maxFragments(maxFragments) {}

    /// Consumes bytes of `data` until a record is complete or the input is used up.
    Result feed(xdr::ByteView data);
    /// The completed record; the reader starts on the next record afterwards.
    xdr::Bytes takeRecord();
    /// Drops any partial record (and a completed one not taken) and any error state.
    void reset();
    /// True while part of a record has been read (useful to tell a clean end of stream).
    bool inProgress() const { return m_headerFill > 0 || m_fragments > 0; }

private:
    std::size_t m_maxRecord;
    std::size_t m_maxFragments;
    xdr::Bytes m_record;
    std::uint8_t m_header[4] = {};
    std::size_t m_headerFill = 0;
    std::size_t m_fragmentLeft = 0;
    bool m_inFragment = false;
    bool m_lastFragment = false;
    bool m_complete = false;
    bool m_broken = false;
    std::size_t m_fragments = 0;
};

} // namespace vxi11::rpc
