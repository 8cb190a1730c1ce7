#include "cli/BusBytes.h"

#include "cli/Errors.h"
#include "sicl/GpibBus.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string_view>
#include <utility>

namespace cli {

namespace {

using namespace sicl::gpib;

constexpr std::array<std::pair<std::string_view, std::uint8_t>, 12> kPlain{{
    {"UNL", kUnl},
    {"UNT", kUnt},
    {"GTL", kGtl},
    {"SDC", kSdc},
    {"PPC", kPpc},
    {"GET", kGet},
    {"TCT", kTct},
    {"LLO", kLlo},
    {"DCL", kDcl},
    {"PPU", kPpu},
    {"SPE", kSpe},
    {"SPD", kSpd},
}};

constexpr std::array<std::pair<std::string_view, std::uint8_t>, 3> kAddressing{{
    {"MLA", kListenBase},
    {"MTA", kTalkBase},
    {"MSA", kSecondaryBase},
}};

std::string upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

/// A decimal or 0x-hex number up to `max`, or -1.
int parseNumber(std::string_view word, int max) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        word.remove_prefix(2);
        base = 16;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (word.empty() || ec != std::errc() || end != word.data() + word.size() || value < 0 ||
        value > max) {
        return -1;
    }
    return value;
}

} // namespace

std::string parseBusBytes(const std::vector<std::string>& words) {
    std::string bytes;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string word = upper(words[i]);
        const auto plain = std::find_if(kPlain.begin(), kPlain.end(),
                                        [&](const auto& m) { return m.first == word; });
        if (plain != kPlain.end()) {
            bytes += static_cast<char>(plain->second);
            continue;
        }
        const auto addressing = std::find_if(kAddressing.begin(), kAddressing.end(),
                                             [&](const auto& m) { return m.first == word; });
        if (addressing != kAddressing.end()) {
            const int a = i + 1 < words.size() ? parseNumber(words[i + 1], kMaxAddress) : -1;
            if (a < 0) {
                throw UsageError(word + " needs an address 0-30 after it");
            }
            bytes += static_cast<char>(addressing->second + a);
            ++i;
            continue;
        }
        const int value = parseNumber(words[i], 255);
        if (value < 0) {
            throw UsageError("'" + words[i] + "' is no command mnemonic and no byte 0-255");
        }
        bytes += static_cast<char>(value);
    }
    if (bytes.empty()) {
        throw UsageError("no command bytes given");
    }
    return bytes;
}

std::string hexText(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!out.empty()) {
            out += ' ';
        }
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

} // namespace cli
