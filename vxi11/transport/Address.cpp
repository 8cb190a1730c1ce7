#include "vxi11/transport/Address.h"

#include "library/AddressText.h"
#include "library/LibraryError.h"
#include "vxi11/codec/LinkMessages.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace vxi11 {

using library::LibraryError;
namespace liberr = library::liberr;

namespace {

using library::text::equalsIgnoreCase;
using library::text::isDigit;
using library::text::parseNumber;

[[noreturn]] void syntax(std::string_view why) {
    library::text::syntaxError(why);
}

constexpr std::string_view kPrefix = "lan;vxi-11[";
// Longer addresses are certainly typing accidents; refusing them keeps error texts short.
constexpr std::size_t kMaxAddressLength = 512;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

void parseHost(std::string_view hostPart, Address& out) {
    hostPart = trimBlanks(hostPart);
    if (hostPart.empty()) {
        syntax("no host");
    }
    std::string_view host = hostPart;
    std::optional<std::string_view> portText;
    if (hostPart.front() == '[') {
        // An IPv6 literal in brackets, perhaps a port after it: `[::1]:111`.
        const std::size_t close = hostPart.find(']');
        host = hostPart.substr(1, close == std::string_view::npos ? 0 : close - 1);
        const std::string_view after =
            close == std::string_view::npos ? "?" : trimBlanks(hostPart.substr(close + 1));
        if (!library::text::isIpv6Text(host) || (!after.empty() && after.front() != ':')) {
            syntax("bad IPv6 host");
        }
        if (!after.empty()) {
            portText = after.substr(1);
        }
    } else if (std::count(hostPart.begin(), hostPart.end(), ':') > 1) {
        // A bare IPv6 literal (`::1`, `fe80::1%eth0`) leaves no room for a port.
        if (!library::text::isIpv6Text(hostPart)) {
            syntax("bad host name");
        }
    } else if (const std::size_t colon = hostPart.rfind(':'); colon != std::string_view::npos) {
        // A host name or dotted IPv4 address never holds a colon: it starts the port.
        host = trimBlanks(hostPart.substr(0, colon));
        portText = hostPart.substr(colon + 1);
    }
    if (portText) {
        const auto port = parseNumber(trimBlanks(*portText), 5);
        if (!port || *port == 0 || *port > 65535) {
            syntax("bad port");
        }
        out.portmapperPort = static_cast<std::uint16_t>(*port);
    }
    if (host.empty()) {
        syntax("no host");
    }
    for (char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '[' || c == ']' || c == ',' || c == ';') {
            syntax("bad host name");
        }
    }
    out.host = std::string(host); // IPv6 without its brackets, as the resolver takes it
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/// True for `word` = letters `kind` (in any case) followed by digits, if any.
bool isInterfaceWord(std::string_view word, std::string_view kind) {
    return word.size() >= kind.size() && equalsIgnoreCase(word.substr(0, kind.size()), kind) &&
           std::all_of(word.begin() + static_cast<std::ptrdiff_t>(kind.size()), word.end(),
                       isDigit);
}

/// The forms the window builds: `gpib` or `gpibN`, optionally `,` and a GPIB address as a
/// number (blanks around it allowed). Their errors are those these forms always had.
bool isGpibForm(std::string_view rest) {
    const std::size_t comma = rest.find(',');
    return isInterfaceWord(rest.substr(0, comma), "gpib") &&
           (comma == std::string_view::npos || rest.find(',', comma + 1) == std::string_view::npos);
}

void parseDeviceNumber(std::string_view text, Address& out) {
    const std::string_view digits = trimBlanks(text);
    const auto number = parseNumber(digits, 9);
    if (!number) {
        syntax(digits.empty() ? "no device address" : "device address is not a number");
    }
    const long n = *number;
    if (n >= 0 && n <= 30) {
        out.primary = static_cast<int>(n);
        return;
    }
    if (n >= 101 && n <= 3030 && n / 100 <= 30 && n % 100 <= 30) {
        out.primary = static_cast<int>(n / 100);
        out.secondary = static_cast<int>(n % 100);
        return;
    }
    throw LibraryError(liberr::kAddressOutOfRange, std::to_string(n));
}

void parseGpibForm(std::string_view rest, Address& out) {
    const std::size_t comma = rest.find(',');
    // "gpib" names the gateway's first interface; a name with its own number is kept.
    std::string interfaceName(rest.substr(0, comma));
    if (!isDigit(interfaceName.back())) {
        interfaceName += '0';
    }
    if (comma != std::string_view::npos) {
        parseDeviceNumber(rest.substr(comma + 1), out);
    }
    out.device = formatDeviceName(interfaceName, out.primary, out.secondary);
    // The interface number has no limit of its own, but what goes to the gateway is a device
    // name like any other.
    if (out.device.size() > kMaxDeviceNameLength) {
        throw LibraryError(liberr::kBadDeviceName, "longer than 64 bytes");
    }
    out.deviceSession = out.primary.has_value();
}

/// Any other VXI-11 device name, passed on unchanged. A name with a comma is a device behind
/// an interface (`hpib,7`, `gpib1,5,2`, `COM1,1`); `hpib` or `hpibN` alone is a GPIB
/// interface, as `gpib` is; every other name is an instrument of its own (`inst0`).
void parseDeviceName(std::string_view name, Address& out) {
    if (name.empty()) {
        syntax("no device name");
    }
    if (name.size() > kMaxDeviceNameLength) {
        throw LibraryError(liberr::kBadDeviceName, "longer than 64 bytes");
    }
    for (char c : name) {
        if (!isAsciiLetter(c) && !isDigit(c) && c != ',' && c != '_' && c != '.') {
            throw LibraryError(liberr::kBadDeviceName,
                               c == ' ' || c == '\t' ? "blank inside" : "character not allowed");
        }
    }
    out.device = std::string(name);
    out.deviceSession = name.find(',') != std::string_view::npos || !isInterfaceWord(name, "hpib");
}

} // namespace

Address addressOf(std::string host, std::uint16_t portmapperPort, std::string_view name) {
    Address out;
    out.host = std::move(host);
    out.portmapperPort = portmapperPort;
    if (isGpibForm(name)) {
        parseGpibForm(name, out);
    } else {
        parseDeviceName(name, out);
    }
    return out;
}

Address parseAddress(std::string_view text) {
    if (text.size() > kMaxAddressLength) {
        syntax("address too long");
    }
    if (text.size() < kPrefix.size() ||
        !equalsIgnoreCase(text.substr(0, kPrefix.size()), kPrefix)) {
        syntax("expected lan;vxi-11[");
    }
    std::string_view rest = text.substr(kPrefix.size());
    std::size_t close = rest.find(']');
    if (trimBlanks(rest).starts_with('[') && close != std::string_view::npos) {
        close = rest.find(']', close + 1); // a bracketed IPv6 host inside: the second one
    }
    if (close == std::string_view::npos) {
        syntax("missing ]");
    }
    Address out;
    parseHost(rest.substr(0, close), out);
    rest.remove_prefix(close + 1);
    if (rest.empty() || rest.front() != ':') {
        syntax("expected : after ]");
    }
    rest.remove_prefix(1);
    // A second bracket means text meant for the host box closed it early: the address's
    // shape is wrong, whatever the name.
    if (rest.find_first_of("[]") != std::string_view::npos) {
        syntax("bracket after the host");
    }
    if (isGpibForm(rest)) {
        parseGpibForm(rest, out);
    } else {
        parseDeviceName(rest, out);
    }
    return out;
}

} // namespace vxi11
