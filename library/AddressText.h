#pragma once
// The small pieces of text handling that every address grammar of the library shares.

#include "library/LibraryError.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

namespace library::text {

inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

inline bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

inline bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

/// A run of decimal digits, at most `maxDigits` long, as a number; nullopt for anything else.
inline std::optional<long> parseNumber(std::string_view s, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits || !std::all_of(s.begin(), s.end(), isDigit)) {
        return std::nullopt;
    }
    long value = 0;
    for (const char c : s) {
        value = value * 10 + (c - '0');
    }
    return value;
}

/// The address does not have the form of its grammar: error 100 with `why` as its detail.
[[noreturn]] inline void syntaxError(std::string_view why) {
    throw LibraryError(liberr::kBadAddressSyntax, std::string(why));
}

} // namespace library::text
