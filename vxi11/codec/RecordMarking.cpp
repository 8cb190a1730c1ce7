#include "vxi11/codec/RecordMarking.h"

#include <algorithm>

namespace vxi11::rpc {

xdr::Bytes frameRecord(xdr::ByteView body, std::size_t maxFragment) {
    maxFragment = std::clamp<std::size_t>(maxFragment, 1, kFragmentLengthMask);
    xdr::Bytes out;
    const std::size_t fragments = body.empty() ? 1 : (body.size() + maxFragment - 1) / maxFragment;
    out.reserve(body.size() + 4 * fragments);
    std::size_t offset = 0;
    do {
        const std::size_t n = std::min(maxFragment, body.size() - offset);
        const bool last = offset + n == body.size();
        const auto header = encodeRecordMark({static_cast<std::uint32_t>(n), last});
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), body.begin() + static_cast<std::ptrdiff_t>(offset),
                   body.begin() + static_cast<std::ptrdiff_t>(offset + n));
        offset += n;
    } while (offset < body.size());
    return out;
}

RecordReader::Result RecordReader::feed(xdr::ByteView data) {
    if (m_broken) {
        return {Status::Malformed, 0};
    }
    if (m_complete) {
        return {Status::Complete, 0};
    }
    std::size_t pos = 0;
    while (true) {
        if (!m_inFragment) {
            while (m_headerFill < 4 && pos < data.size()) {
                m_header[m_headerFill++] = data[pos++];
            }
            if (m_headerFill < 4) {
                return {Status::NeedMore, pos};
            }
            const RecordMark mark = decodeRecordMark(m_header);
            m_headerFill = 0;
            m_lastFragment = mark.last;
            m_fragmentLeft = mark.length;
            ++m_fragments;
            if (m_fragmentLeft > m_maxRecord - m_record.size() || m_fragments > m_maxFragments) {
                m_broken = true;
                return {Status::Malformed, pos};
            }
            m_inFragment = true;
            // The length is known and within the limit: make room once instead of growing
            // the record piece by piece as the bytes trickle in (growth at least doubles, so
            // many small fragments stay linear).
            const std::size_t need = m_record.size() + m_fragmentLeft;
            if (need > m_record.capacity()) {
                m_record.reserve(std::min(std::max(need, 2 * m_record.capacity()), m_maxRecord));
            }
        }
        const std::size_t n = std::min(m_fragmentLeft, data.size() - pos);
        m_record.insert(m_record.end(), data.begin() + static_cast<std::ptrdiff_t>(pos),
                        data.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
        m_fragmentLeft -= n;
        if (m_fragmentLeft > 0) {
            return {Status::NeedMore, pos};
        }
        m_inFragment = false;
        if (m_lastFragment) {
            m_complete = true;
            return {Status::Complete, pos};
        }
    }
}

xdr::Bytes RecordReader::takeRecord() {
    xdr::Bytes out = std::move(m_record);
    m_record.clear();
    m_complete = false;
    m_fragments = 0;
    m_lastFragment = false;
    return out;
}

void RecordReader::reset() {
    m_record.clear();
    m_headerFill = 0;
    m_fragmentLeft = 0;
    m_inFragment = false;
    m_lastFragment = false;
    m_complete = false;
    m_broken = false;
    m_fragments = 0;
}

} // namespace vxi11::rpc
