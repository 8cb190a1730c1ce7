#pragma once
// The words of a `++` command line, and the strict numbers the adapter takes in them.

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

namespace gateway::emulator {

/// The words of `text`, cut at any of `separators`; empty words dropped.
inline std::vector<std::string_view> splitWords(std::string_view text,
                                                std::string_view separators) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find_first_of(separators, at), text.size());
        if (end > at) {
            words.push_back(text.substr(at, end - at));
        }
        at = end + 1;
    }
    return words;
}

/// True when `word` is all decimal digits.
inline bool isNumber(std::string_view word) {
    return !word.empty() && word.find_first_not_of("0123456789") == std::string_view::npos;
}

/// The decimal number `word` if it lies in [low, high].
inline std::optional<int> numberIn(std::string_view word, int low, int high) {
    int value = 0;
    if (!isNumber(word) || word.size() > 6 ||
        std::from_chars(word.data(), word.data() + word.size(), value).ec != std::errc() ||
        value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

} // namespace gateway::emulator
