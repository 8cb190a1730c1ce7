#pragma once
// Byte vectors written as hex text in tests ("00000001 0000000a"); blanks are ignored.

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace testhex {

inline std::vector<std::uint8_t> fromHex(std::string_view text) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == '\n')
            continue;
        else
            throw std::invalid_argument("bad hex");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("odd hex");
    return out;
}

} // namespace testhex
