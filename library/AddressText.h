#pragma once
// The small pieces of text handling that every address grammar of the library shares.

#include "library/LibraryError.h"

#include <arpa/inet.h>
#include <netinet/in.h>

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

/// An IPv6 literal as an address may hold it, brackets taken off: an address the system's own
/// parser takes (so `12:::1` or a second `::` is refused here, not later by the resolver), then
/// perhaps `%` and a zone (an interface's name or number). `127.0.0.1:111` is no such literal.
inline bool isIpv6Text(std::string_view host) {
    const std::size_t percent = host.find('%');
    const std::string address(host.substr(0, percent));
    in6_addr parsed{};
    if (address.find(':') == std::string::npos || address.find('\0') != std::string::npos ||
        ::inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
        return false;
    }
    if (percent == std::string_view::npos) {
        return true;
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
