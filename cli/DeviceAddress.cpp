#include "cli/DeviceAddress.h"

#include "cli/Errors.h"
#include "library/AddressText.h"
#include "library/LibraryError.h"
#include "library/Resource.h"
#include "sicl/GpibBus.h"

#include <cctype>

namespace cli {

namespace {

constexpr std::size_t kMaxNameLength = 64;

/// A GPIB number as typed: up to 4 digits (3030 is the largest).
std::optional<long> gpibNumber(std::string_view s) {
    return library::text::parseNumber(s, 4);
}

[[noreturn]] void bad(std::string_view text, const std::string& why) {
    throw UsageError("bad address '" + std::string(text) + "': " + why);
}

/// A VISA resource string: `TCPIP` in any case, and `::` after it. A device name cannot hold
/// a colon, so every address that worked before (`tcpip0` as a device name included) still
/// reads as it did.
bool isVisaResource(std::string_view text) {
    return library::text::startsWithIgnoreCase(text, "tcpip") &&
           text.find("::") != std::string_view::npos;
}

/// A VISA resource string, checked by the library's own parser so that a malformed one is bad
/// usage and nothing is sent; the library gets it as it is.
DeviceAddress visaAddress(std::string_view text) {
    try {
        library::parseResource(text);
    } catch (const library::LibraryError& e) {
        bad(text, e.detail().empty() ? e.text() : e.detail());
    }
    DeviceAddress d;
    d.typed = std::string(text);
    d.visa = true;
    return d;
}

} // namespace

DeviceAddress gpibAddress(int pad, std::optional<int> sad) {
    DeviceAddress d;
    d.pad = pad;
    d.sad = sad;
    d.typed = addressText(pad, sad);
    // The library's own number form: primary, or primary * 100 + secondary.
    d.deviceName = "gpib," + std::to_string(sad ? pad * 100 + *sad : pad);
    return d;
}

DeviceAddress parseDeviceAddress(std::string_view text) {
    if (isVisaResource(text)) {
        return visaAddress(text);
    }
    const std::size_t comma = text.find(',');
    if (const auto number = gpibNumber(text)) {
        const auto n = static_cast<int>(*number);
        if (n <= sicl::gpib::kMaxAddress) {
            return gpibAddress(n, std::nullopt);
        }
        if (n >= 101 && n / 100 <= sicl::gpib::kMaxAddress && n % 100 <= sicl::gpib::kMaxAddress) {
            return gpibAddress(n / 100, n % 100);
        }
        bad(text, "a GPIB address is 0-30, or 101-3030 for primary * 100 + secondary");
    }
    const auto padNumber =
        comma != std::string_view::npos ? gpibNumber(text.substr(0, comma)) : std::nullopt;
    const auto sadNumber = padNumber ? gpibNumber(text.substr(comma + 1)) : std::nullopt;
    if (padNumber && sadNumber) {
        const auto pad = static_cast<int>(*padNumber);
        const auto sad = static_cast<int>(*sadNumber);
        if (pad > sicl::gpib::kMaxAddress || sad > sicl::gpib::kMaxAddress) {
            bad(text, "primary and secondary addresses are 0-30");
        }
        if (pad == 0) {
            // The library's number form (primary * 100 + secondary) has no room for it.
            bad(text, "primary address 0 cannot carry a secondary address");
        }
        return gpibAddress(pad, sad);
    }
    if (text.empty()) {
        bad(text, "empty");
    }
    if (text.size() > kMaxNameLength) {
        bad(text, "a device name has at most 64 characters");
    }
    if (!std::isalpha(static_cast<unsigned char>(text.front()))) {
        bad(text, "expected a GPIB address or a device name such as inst0");
    }
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != ',' && c != '_' && c != '.') {
            bad(text, "a device name holds only letters, digits and , _ .");
        }
    }
    DeviceAddress d;
    d.typed = std::string(text);
    d.deviceName = std::string(text);
    return d;
}

std::string libraryAddress(const std::string& server, const DeviceAddress& device) {
    if (device.visa) {
        return device.typed;
    }
    return "lan;vxi-11[" + server + "]:" + device.deviceName;
}

std::string interfaceAddress(const std::string& server) {
    return "lan;vxi-11[" + server + "]:gpib";
}

std::string addressText(int pad, std::optional<int> sad) {
    return sad ? std::to_string(pad) + "," + std::to_string(*sad) : std::to_string(pad);
}

void checkServer(std::string_view server) {
    const auto bad = [&](const std::string& why) {
        throw UsageError("bad server '" + std::string(server) + "': " + why);
    };
    if (server.empty()) {
        bad("expected HOST[:PORT]");
    }
    for (char c : server) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '[' || c == ']' || c == ';' || c == ',') {
            bad("expected HOST[:PORT]");
        }
    }
    const std::size_t colon = server.find(':');
    if (colon == 0) {
        bad("no host before the port");
    }
    if (colon == std::string_view::npos) {
        return;
    }
    const auto value = library::text::parseNumber(server.substr(colon + 1), 5);
    if (!value || *value < 1 || *value > 65535) {
        bad("the port must be a number from 1 to 65535");
    }
}

} // namespace cli
