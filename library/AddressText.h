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

/// An IPv6 literal as an address may hold it, brackets taken off: hex digits and at least two
/// `:` (an embedded IPv4 address with its dots last), then perhaps `%` and a zone (an
/// interface's name or number). `127.0.0.1:111` is no such literal.
inline bool isIpv6Text(std::string_view host) {
    const std::size_t percent = host.find('%');
    const std::string_view address = host.substr(0, percent);
    const std::size_t dot = address.find('.');
    const bool addressOk =
        std::count(address.begin(), address.end(), ':') >= 2 &&
        (dot == std::string_view::npos || address.find(':', dot) == std::string_view::npos) &&
        std::all_of(address.begin(), address.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
        });
    if (!addressOk || percent == std::string_view::npos) {
        return addressOk;
    }
    const std::string_view zone = host.substr(percent + 1);
    return !zone.empty() && std::all_of(zone.begin(), zone.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == '.';
    });
}

/// The address does not have the form of its grammar: error 100 with `why` as its detail.
[[noreturn]] inline void syntaxError(std::string_view why) {
    throw LibraryError(liberr::kBadAddressSyntax, std::string(why));
}

} // namespace library::text
