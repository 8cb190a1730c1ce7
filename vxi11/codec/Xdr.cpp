#include "vxi11/codec/Xdr.h"

namespace vxi11::xdr {

void Encoder::putUint(std::uint32_t value) {
    std::uint8_t b[4];
    storeBe32(b, value);
    m_out.insert(m_out.end(), b, b + 4);
}

void Encoder::putOpaque(ByteView data) {
    putUint(static_cast<std::uint32_t>(data.size()));
    putFixedOpaque(data);
}

void Encoder::putString(std::string_view text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    putOpaque(ByteView(p, text.size()));
}

void Encoder::putFixedOpaque(ByteView data) {
    m_out.insert(m_out.end(), data.begin(), data.end());
    m_out.insert(m_out.end(), padding(data.size()), std::uint8_t{0});
}

bool Decoder::getUint(std::uint32_t& value) {
    if (!m_ok || m_data.size() - m_pos < 4) {
        m_ok = false;
        return false;
    }
    value = loadBe32(m_data.data() + m_pos);
    m_pos += 4;
    return true;
}

bool Decoder::getInt(std::int32_t& value) {
    std::uint32_t u = 0;
    if (!getUint(u)) {
        return false;
    }
    value = static_cast<std::int32_t>(u);
    return true;
}

bool Decoder::getBool(bool& value) {
    std::uint32_t u = 0;
    if (!getUint(u)) {
        return false;
    }
    if (u > 1) {
        m_ok = false;
        return false;
    }
    value = u == 1;
    return true;
}

bool Decoder::getOpaqueView(ByteView& value, std::uint32_t maxLength) {
    std::uint32_t length = 0;
    if (!getUint(length)) {
        return false;
    }
    const std::size_t left = m_data.size() - m_pos;
    // Compare before adding the padding so a length near 2^32 cannot wrap.
    if (length > maxLength || length > left || padding(length) > left - length) {
        m_ok = false;
        return false;
    }
    const std::size_t pad = padding(length);
    for (std::size_t i = 0; i < pad; ++i) {
        if (m_data[m_pos + length + i] != 0) {
            m_ok = false;
            return false;
        }
    }
    value = m_data.subspan(m_pos, length);
    m_pos += length + pad;
    return true;
}

bool Decoder::getOpaque(Bytes& value, std::uint32_t maxLength) {
    ByteView view;
    if (!getOpaqueView(view, maxLength)) {
        return false;
    }
    value.assign(view.begin(), view.end());
    return true;
}

bool Decoder::getString(std::string& value, std::uint32_t maxLength) {
    ByteView view;
    if (!getOpaqueView(view, maxLength)) {
        return false;
    }
    value.assign(reinterpret_cast<const char*>(view.data()), view.size());
    return true;
}

bool Decoder::skipOpaque(std::uint32_t maxLength) {
    ByteView view;
    return getOpaqueView(view, maxLength);
}

} // namespace vxi11::xdr
