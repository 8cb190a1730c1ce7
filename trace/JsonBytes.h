#pragma once

#include <string>
#include <string_view>

namespace trace {

/// Bytes as the code points of the same value, UTF-8 encoded: the form in which 8-bit
/// instrument text goes into a JSON string. A JSON writer that escapes non-ASCII then shows
/// every byte outside printable ASCII as \u00XX, and a reader gets the bytes back exactly by
/// taking each code point as one byte.
inline std::string bytesAsCodePoints(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

} // namespace trace
