#include "cli/DeviceAddress.h"

#include "cli/Errors.h"
#include "library/AddressText.h"
#include "library/LibraryError.h"
#include "library/Resource.h"
#include "sicl/GpibBus.h"

#include <algorithm>
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

/// A VISA resource string: `::` in it (`TCPIP0::...`, or another interface's, which the
/// library's grammar refuses with its reason). A device name cannot hold a colon, so every
/// address that worked before (`tcpip0` as a device name included) still reads as it did.
bool isVisaResource(std::string_view text) {
    return text.find("::") != std::string_view::npos;
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
    std::string_view host = server;
    std::optional<std::string_view> port;
    if (server.front() == '[') {
        // An IPv6 literal, bracketed so that a port can follow: `[::1]:4000`.
        const std::size_t close = server.find(']');
        host = server.substr(1, close == std::string_view::npos ? 0 : close - 1);
        const std::string_view after =
            close == std::string_view::npos ? "?" : server.substr(close + 1);
        if (!library::text::isIpv6Text(host) || (!after.empty() && after.front() != ':')) {
            bad("expected [IPV6]:PORT");
        }
        if (!after.empty()) {
            port = after.substr(1);
        }
    } else if (std::count(server.begin(), server.end(), ':') > 1) {
        if (!library::text::isIpv6Text(server)) {
            bad("expected HOST[:PORT], or [IPV6]:PORT");
        }
    } else if (const std::size_t colon = server.find(':'); colon != std::string_view::npos) {
        host = server.substr(0, colon);
        port = server.substr(colon + 1);
    }
    if (host.empty()) {
        bad("no host before the port");
    }
    for (char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '[' || c == ']' || c == ';' || c == ',') {
            bad("expected HOST[:PORT]");
        }
    }
    if (!port) {
        return;
    }
    const auto value = library::text::parseNumber(*port, 5);
    if (!value || *value < 1 || *value > 65535) {
        bad("the port must be a number from 1 to 65535");
    }
}

} // namespace cli
