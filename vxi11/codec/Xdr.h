#pragma once
// XDR (RFC 4506) encoding and decoding over byte buffers. No I/O: everything here is a pure
// function of its input, so it can be fed untrusted bytes and fuzzed.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vxi11::xdr {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

/// Number of zero bytes that pad an item of `length` bytes to a multiple of four.
constexpr std::size_t padding(std::size_t length) {
    return (4 - length % 4) % 4;
}

/// Appends XDR items to a growing byte buffer.
class Encoder {
public:
    /// Room for a typical call or reply up front, so encoding one does not regrow the buffer
    /// word by word.
    Encoder() { m_out.reserve(128); }
    /// Starts with the bytes already in `initial` (for example a header written earlier).
    explicit Encoder(Bytes initial) : m_out(std::move(initial)) {}

    void putUint(std::uint32_t value);
    void putInt(std::int32_t value) { putUint(static_cast<std::uint32_t>(value)); }
    void putBool(bool value) { putUint(value ? 1u : 0u); }
    /// Variable-length opaque: length word, bytes, zero padding.
    void putOpaque(ByteView data);
    /// Variable-length string, encoded like opaque data (no terminating NUL).
    void putString(std::string_view text);
    /// Fixed-length opaque: bytes and padding, no length word.
    void putFixedOpaque(ByteView data);
    /// Bytes appended as they are (already XDR-encoded elsewhere).
    void putRaw(ByteView data) { m_out.insert(m_out.end(), data.begin(), data.end()); }

    const Bytes& bytes() const { return m_out; }
    Bytes take() { return std::move(m_out); }
    std::size_t size() const { return m_out.size(); }

private:
    Bytes m_out;
};

/// Reads XDR items from a byte span. Every read checks the bytes left first; after the first
/// failure the decoder stays failed and every later read fails too, so a sequence of reads
/// can be checked once at the end.
class Decoder {
public:
    explicit Decoder(ByteView data) : m_data(data) {}

    bool getUint(std::uint32_t& value);
    bool getInt(std::int32_t& value);
    /// Accepts only 0 and 1, as XDR's bool enum allows.
    bool getBool(bool& value);
    /// Variable-length opaque of at most `maxLength` bytes; padding must be zero.
    bool getOpaque(Bytes& value, std::uint32_t maxLength = UINT32_MAX);
    /// Like getOpaque, without copying: the view points into the decoder's input.
    bool getOpaqueView(ByteView& value, std::uint32_t maxLength = UINT32_MAX);
    bool getString(std::string& value, std::uint32_t maxLength = UINT32_MAX);
    /// Skips a variable-length opaque of at most `maxLength` bytes.
    bool skipOpaque(std::uint32_t maxLength = UINT32_MAX);

    bool ok() const { return m_ok; }
    std::size_t remaining() const { return m_ok ? m_data.size() - m_pos : 0; }
    bool atEnd() const { return m_ok && m_pos == m_data.size(); }
    /// The bytes not read yet.
    ByteView rest() const { return m_ok ? m_data.subspan(m_pos) : ByteView{}; }
    /// Marks the decoder failed (a value was read but is out of its allowed range).
    void fail() { m_ok = false; }

private:
    ByteView m_data;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

/// Decodes a whole message of type T (which has `static bool decode(Decoder&, T&)`); bytes
/// left after the last field are refused unless `allowTrailing` is set.
template <typename T>
std::optional<T> decodeAll(ByteView data, bool allowTrailing = false) {
    Decoder d(data);
    T value{};
    if (!T::decode(d, value) || !d.ok()) {
        return std::nullopt;
    }
    if (!allowTrailing && !d.atEnd()) {
        return std::nullopt;
    }
    return value;
}

/// Encodes a message of type T (which has `void encode(Encoder&) const`).
template <typename T>
Bytes encodeAll(const T& value) {
    Encoder e;
    value.encode(e);
    return e.take();
}

/// Reads a big-endian 32-bit word at `p` (the caller has checked the length).
constexpr std::uint32_t loadBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

/// Writes `value` big-endian at `p`.
constexpr void storeBe32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

} // namespace vxi11::xdr
