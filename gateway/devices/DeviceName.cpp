#include "gateway/devices/DeviceName.h"

#include "vxi11/codec/LinkMessages.h"
#include "vxi11/codec/Vxi11Types.h"

#include <cctype>
#include <vector>

namespace gateway {

namespace {

/// A run of digits counts up to this and no further, so a long run cannot overflow.
constexpr long kSaturated = 100000;
/// Highest primary or secondary address.
constexpr long kMaxAddress = 30;
/// Secondary addresses may come as 96-126 (0x60 + address, as on the bus).
constexpr long kSecondaryOnWireLow = 96;
constexpr long kSecondaryOnWireHigh = 126;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Value of a run of digits, saturated so a long run cannot overflow.
long digitsValue(std::string_view digits) {
    long v = 0;
    for (char c : digits) {
        v = v * 10 + (c - '0');
        if (v > kSaturated) {
            return kSaturated;
        }
    }
    return v;
}

bool allDigits(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string DeviceName::canonical() const {
    if (!lan.empty()) {
        return lan;
    }
    return vxi11::formatDeviceName(kInterfaceName, isInterface ? std::nullopt : std::optional(pad),
                                   sad);
}

std::variant<DeviceName, std::int32_t> parseDeviceName(std::string_view name) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = name.find(',', start);
        fields.push_back(name.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                            : comma - start));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (fields.size() > 3) {
        return vxi11::err::kSyntaxError;
    }

    // Interface word: letters then an optional number.
    const std::string_view word = fields[0];
    std::size_t letters = 0;
    while (letters < word.size() && isAlpha(word[letters])) {
        ++letters;
    }
    const std::string_view number = word.substr(letters);
    if (letters == 0 || (!number.empty() && !allDigits(number))) {
        return vxi11::err::kSyntaxError;
    }
    for (std::size_t i = 1; i < fields.size(); ++i) {
        if (!allDigits(fields[i])) {
            return vxi11::err::kSyntaxError;
        }
    }

    std::string kind;
    for (char c : word.substr(0, letters)) {
        kind += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    // Only interface 0 exists; other interface names (inst0, usb0, gpib1) name nothing here.
    if ((kind != "gpib" && kind != "hpib") || (!number.empty() && digitsValue(number) != 0)) {
        return vxi11::err::kDeviceNotAccessible;
    }

    DeviceName out;
    if (fields.size() == 1) {
        return out;
    }
    out.isInterface = false;
    const long pad = digitsValue(fields[1]);
    if (pad > kMaxAddress) {
        return vxi11::err::kInvalidAddress;
    }
    out.pad = static_cast<int>(pad);
    if (fields.size() == 3) {
        long sad = digitsValue(fields[2]);
        if (sad >= kSecondaryOnWireLow && sad <= kSecondaryOnWireHigh) {
            sad -= kSecondaryOnWireLow;
        }
        if (sad > kMaxAddress) {
            return vxi11::err::kInvalidAddress;
        }
        out.sad = static_cast<int>(sad);
    }
    return out;
}

std::optional<DeviceName> parseHislipAlias(std::string_view name) {
    constexpr std::string_view kPrefix = "hislip";
    constexpr std::size_t kMaxDigits = 4;
    if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + kMaxDigits) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kPrefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != kPrefix[i]) {
            return std::nullopt;
        }
    }
    const std::string_view digits = name.substr(kPrefix.size());
    if (!allDigits(digits)) {
        return std::nullopt;
    }
    constexpr long kSecondaryScale = 100;
    constexpr long kFirstWithSecondary = 101;
    const long n = digitsValue(digits);
    DeviceName out;
    out.isInterface = false;
    if (n >= 1 && n <= kMaxAddress) {
        out.pad = static_cast<int>(n);
        return out;
    }
    const long pad = n / kSecondaryScale;
    const long sad = n % kSecondaryScale;
    if (n < kFirstWithSecondary || pad > kMaxAddress || sad > kMaxAddress) {
        return std::nullopt;
    }
    out.pad = static_cast<int>(pad);
    out.sad = static_cast<int>(sad);
    return out;
}

} // namespace gateway
