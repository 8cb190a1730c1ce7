#include "library/Resource.h"

#include "library/AddressText.h"
#include "library/LibraryError.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

namespace library {

namespace {

using text::equalsIgnoreCase;
using text::isDigit;
using text::parseNumber;
using text::startsWithIgnoreCase;

[[noreturn]] void syntax(std::string_view why) {
    text::syntaxError(why);
}

// Longer addresses are certainly typing accidents; refusing them keeps error texts short.
constexpr std::size_t kMaxResourceLength = 512;

std::uint16_t parsePort(std::string_view s) {
    const auto port = parseNumber(s, 5);
    if (!port || *port == 0 || *port > 65535) {
        syntax("bad port");
    }
    return static_cast<std::uint16_t>(*port);
}

/// Splits at `::`, keeping a bracketed IPv6 host (which holds `::` itself) whole.
std::vector<std::string_view> splitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] == '[' && at == start) {
            const std::size_t close = text.find(']', at);
            if (close == std::string_view::npos) {
                syntax("missing ]");
            }
            at = close + 1;
            continue;
        }
        if (text.compare(at, 2, "::") == 0) {
            fields.push_back(text.substr(start, at - start));
            at += 2;
            start = at;
            continue;
        }
        ++at;
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::string parseHost(std::string_view host) {
    if (host.empty()) {
        syntax("no host");
    }
    if (host.front() == '[') {
        // The splitter made sure the bracket closes; nothing may follow it.
        if (host.back() != ']' || host.size() < 3) {
            syntax("bad IPv6 host");
        }
        host = host.substr(1, host.size() - 2);
        if (!text::isIpv6Text(host)) {
            syntax("bad IPv6 host");
        }
        return std::string(host);
    }
    for (const char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) == 0 && c != '-' && c != '.' && c != '_') {
            syntax("bad host name");
        }
    }
    return std::string(host);
}

/// `hislip0` or `hislip0,PORT`: the sub-address and the port.
void parseHislipName(std::string_view name, Resource& out) {
    const std::size_t comma = name.find(',');
    out.name = std::string(name.substr(0, comma));
    out.port = kHislipPort;
    if (comma != std::string_view::npos) {
        const std::string_view port = name.substr(comma + 1);
        if (port.find(',') != std::string_view::npos) {
            syntax("more than one comma after hislip");
        }
        out.port = parsePort(port);
    }
}

Resource parseVisa(std::string_view text) {
    if (text.find_first_of(" \t\r\n") != std::string_view::npos) {
        syntax("a blank in the address"); // a trailing one above all, which is hard to see
    }
    Resource out;
    out.text = std::string(text);
    out.visa = true;
    std::vector<std::string_view> fields = splitFields(text);
    const std::string_view board = fields.front().substr(5);
    const auto boardNumber = board.empty() ? std::optional<long>(0) : parseNumber(board, 3);
    if (!boardNumber) {
        syntax("bad TCPIP board number");
    }
    out.board = static_cast<int>(*boardNumber);
    if (fields.size() < 2) {
        syntax("no host");
    }
    out.host = parseHost(fields[1]);
    const std::string_view last = fields.back();
    if (fields.size() >= 3 && equalsIgnoreCase(last, "SOCKET")) {
        if (fields.size() != 4) {
            syntax("expected TCPIP::HOST::PORT::SOCKET");
        }
        out.kind = Resource::Kind::Socket;
        out.port = parsePort(fields[2]);
        return out;
    }
    if (fields.size() >= 3 && equalsIgnoreCase(last, "INSTR")) {
        fields.pop_back();
    }
    if (fields.size() > 3) {
        syntax("too many fields");
    }
    const std::string_view name = fields.size() == 3 ? fields[2] : std::string_view("inst0");
    if (name.empty()) {
        syntax("no device name");
    }
    if (std::all_of(name.begin(), name.end(), isDigit)) {
        // A device name begins with a letter: this is a port that lost its `::SOCKET`.
        syntax("a port needs ::SOCKET after it");
    }
    if (startsWithIgnoreCase(name, "hislip")) {
        out.kind = Resource::Kind::Hislip;
        parseHislipName(name, out);
        return out;
    }
    out.kind = Resource::Kind::Vxi11;
    out.name = std::string(name);
    return out;
}

/// A VISA resource of another interface (`GPIB0::22::INSTR`, `ASRL1::INSTR`, `USB0::...`):
/// a letter, then letters, digits or dashes, then `::`. The window's `lan;vxi-11[...]` form
/// never begins so.
bool isOtherVisaResource(std::string_view text) {
    const std::size_t colons = text.find("::");
    if (colons == std::string_view::npos || colons == 0 ||
        std::isalpha(static_cast<unsigned char>(text.front())) == 0) {
        return false;
    }
    const std::string_view type = text.substr(0, colons);
    return std::all_of(type.begin(), type.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
    });
}

} // namespace

const char* transportName(Resource::Kind kind) noexcept {
    switch (kind) {
    case Resource::Kind::Hislip:
        return "hislip";
    case Resource::Kind::Socket:
        return "socket";
    case Resource::Kind::Vxi11:
        break;
    }
    return "vxi-11";
}

Resource parseResource(std::string_view text) {
    if (text.size() > kMaxResourceLength) {
        syntax("address too long");
    }
    if (startsWithIgnoreCase(text, "TCPIP")) {
        return parseVisa(text);
    }
    if (isOtherVisaResource(text)) {
        // A bus behind a gateway is reached through the gateway's own resource.
        syntax(startsWithIgnoreCase(text, "GPIB") ? "use TCPIP::GATEWAY::gpib0,PAD::INSTR"
                                                  : "only TCPIP resources are served");
    }
    // Everything else is the VXI-11 transport's own form, which it parses (and refuses) itself.
    Resource out;
    out.text = std::string(text);
    return out;
}

} // namespace library
